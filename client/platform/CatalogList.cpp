#include "CatalogList.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QPalette>

int CatalogModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

int CatalogModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_captions.size());
}

QVariant CatalogModel::data(const QModelIndex &index, int role) const
{
    if (role != Qt::DisplayRole || !index.isValid())
        return {};
    return cell(index.row(), index.column());
}

QVariant CatalogModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0
        || section >= m_captions.size())
        return {};
    return m_captions.at(section);
}

void CatalogModel::clearColumns()
{
    beginResetModel();
    m_captions.clear();
    endResetModel();
}

void CatalogModel::insertColumn(int position, const QString &caption)
{
    position = std::clamp(position, 0, int(m_captions.size()));
    beginInsertColumns({}, position, position);
    m_captions.insert(position, caption);
    for (QStringList &row : m_rows)
        if (position <= row.size())
            row.insert(position, QString());
    endInsertColumns();
}

void CatalogModel::clearRows()
{
    if (m_rows.isEmpty())
        return;
    beginResetModel();
    m_rows.clear();
    endResetModel();
}

void CatalogModel::appendRow(const QString &firstCell)
{
    const int row = int(m_rows.size());
    beginInsertRows({}, row, row);
    m_rows.append(QStringList{firstCell});
    endInsertRows();
}

void CatalogModel::setCell(int row, int column, const QString &text)
{
    if (row < 0 || row >= m_rows.size() || column < 0 || column >= m_captions.size())
        return;
    QStringList &cells = m_rows[row];
    while (cells.size() <= column)
        cells.append(QString());
    cells[column] = text;
    const QModelIndex at = index(row, column);
    Q_EMIT dataChanged(at, at, {Qt::DisplayRole});
}

QString CatalogModel::cell(int row, int column) const
{
    if (row < 0 || row >= m_rows.size() || column < 0)
        return {};
    const QStringList &cells = m_rows.at(row);
    return column < cells.size() ? cells.at(column) : QString();
}

void CatalogModel::replaceRows(QList<QStringList> rows)
{
    beginResetModel();
    m_rows = std::move(rows);
    endResetModel();
}

CatalogList::CatalogList(QWidget *parent)
    : QTreeView(parent), m_model(new CatalogModel(this))
{
    setModel(m_model);
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true); // keeps tens of thousands of rows cheap to lay out
    setAllColumnsShowFocus(true);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    header()->setStretchLastSection(false);
    header()->setSectionsMovable(false);

    connect(selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex &current) {
                if (current.isValid())
                    Q_EMIT rowSelected(current.row());
            });
    // A click on the row that is already current selects it again, as users expect.
    connect(this, &QAbstractItemView::clicked, this,
            [this](const QModelIndex &index) { Q_EMIT rowSelected(index.row()); });
    connect(this, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex &index) {
        Q_EMIT rowSelected(index.row());
        Q_EMIT rowActivated();
    });
}

void CatalogList::keyPressEvent(QKeyEvent *event)
{
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)
        && currentIndex().isValid()) {
        Q_EMIT rowActivated();
        event->accept();
        return;
    }
    QTreeView::keyPressEvent(event);
}

void CatalogList::clearColumns()
{
    m_model->clearColumns();
}

void CatalogList::addColumn(int position, const QString &caption, int width, int)
{
    m_model->insertColumn(position, caption);
    const int column = std::clamp(position, 0, m_model->columnCount() - 1);
    setColumnWidth(column, width);
    setColumnHidden(column, width <= 0);
}

void CatalogList::applySettings(bool fullRowSelect, int, bool gridLines, bool headerVisible,
                                bool hotTracking, bool, quint32 backColour)
{
    setSelectionBehavior(fullRowSelect ? SelectRows : SelectItems);
    setAlternatingRowColors(gridLines);
    setHeaderHidden(!headerVisible);
    setMouseTracking(hotTracking);
    // 0x00BBGGRR
    const QColor back(int(backColour & 0xFF), int((backColour >> 8) & 0xFF),
                      int((backColour >> 16) & 0xFF));
    QPalette p = palette();
    p.setColor(QPalette::Base, back);
    setPalette(p);
    setAutoFillBackground(true);
}

void CatalogList::clearRows()
{
    m_model->clearRows();
}

int CatalogList::rowCount() const
{
    return m_model->rowCount();
}

void CatalogList::addRow(int, const QString &firstCell, int, int)
{
    // The window always appends; a row goes at the end whatever position it names.
    m_model->appendRow(firstCell);
}

void CatalogList::setCell(int row, int column, const QString &text, int)
{
    m_model->setCell(row, column, text);
}

QString CatalogList::cell(int row, int column) const
{
    return m_model->cell(row, column);
}

void CatalogList::replaceRows(QList<QStringList> rows)
{
    m_model->replaceRows(std::move(rows));
}
