#include "CatalogList.h"

#include "core/CatalogPage.h"
#include "core/Encoding.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QPalette>

#include <algorithm>
#include <limits>

int CatalogModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_rows;
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

QByteArrayView CatalogModel::keep(const QString &text)
{
    if (text.isEmpty())
        return {};
    // A buffer's bytes stay where they are when the list of buffers grows.
    m_buffers.append(text.toUtf8());
    return QByteArrayView(m_buffers.last());
}

void CatalogModel::clearColumns()
{
    beginResetModel();
    m_captions.clear();
    m_cells.clear();
    m_buffers.clear();
    m_rows = 0;
    endResetModel();
}

void CatalogModel::insertColumn(int position, const QString &caption)
{
    position = std::clamp(position, 0, int(m_captions.size()));
    const int oldStride = int(m_captions.size());
    beginInsertColumns({}, position, position);
    m_captions.insert(position, caption);
    QList<QByteArrayView> cells;
    cells.reserve(qsizetype(m_rows) * (oldStride + 1));
    for (int r = 0; r < m_rows; ++r) {
        for (int c = 0; c <= oldStride; ++c) {
            if (c == position)
                cells.append(QByteArrayView());
            if (c < oldStride)
                cells.append(m_cells.at(qsizetype(r) * oldStride + c));
        }
    }
    m_cells = std::move(cells);
    endInsertColumns();
}

void CatalogModel::clearRows()
{
    if (m_rows == 0)
        return;
    beginResetModel();
    m_rows = 0;
    m_cells.clear();
    m_buffers.clear();
    endResetModel();
}

void CatalogModel::appendRow(const QString &firstCell)
{
    const int stride = int(m_captions.size());
    if (stride == 0)
        return;
    beginInsertRows({}, m_rows, m_rows);
    m_cells.resize(m_cells.size() + stride);
    m_cells[qsizetype(m_rows) * stride] = keep(firstCell);
    ++m_rows;
    endInsertRows();
}

void CatalogModel::setCell(int row, int column, const QString &text)
{
    const int stride = int(m_captions.size());
    if (row < 0 || row >= m_rows || column < 0 || column >= stride)
        return;
    m_cells[qsizetype(row) * stride + column] = keep(text);
    const QModelIndex at = index(row, column);
    Q_EMIT dataChanged(at, at, {Qt::DisplayRole});
}

QString CatalogModel::cell(int row, int column) const
{
    const int stride = int(m_captions.size());
    if (row < 0 || row >= m_rows || column < 0 || column >= stride)
        return {};
    return tavrel::utf8ToUnicode(m_cells.at(qsizetype(row) * stride + column));
}

void CatalogModel::replaceRows(QByteArray bytes, QList<QByteArrayView> cells)
{
    constexpr int pageColumns = tavrel::CatalogColumns;
    const int stride = int(m_captions.size());
    const qsizetype rows = cells.size() / pageColumns;
    beginResetModel();
    m_buffers.clear();
    m_buffers.append(std::move(bytes));
    if (stride == pageColumns) {
        m_cells = std::move(cells);
    } else {
        m_cells.clear();
        m_cells.resize(rows * stride);
        for (qsizetype r = 0; r < rows; ++r)
            for (int c = 0; c < std::min(stride, pageColumns); ++c)
                m_cells[r * stride + c] = cells.at(r * pageColumns + c);
    }
    m_rows = int(std::min<qsizetype>(rows, std::numeric_limits<int>::max()));
    if (stride == 0)
        m_rows = 0;
    endResetModel();
}

void CatalogModel::replaceRows(const QList<QStringList> &rows)
{
    const int stride = int(m_captions.size());
    beginResetModel();
    m_buffers.clear();
    m_cells.clear();
    m_cells.resize(rows.size() * stride);
    for (qsizetype r = 0; r < rows.size(); ++r)
        for (int c = 0; c < stride && c < rows.at(r).size(); ++c)
            m_cells[r * stride + c] = keep(rows.at(r).at(c));
    m_rows = stride == 0 ? 0 : int(rows.size());
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

void CatalogList::replaceRows(QByteArray bytes, QList<QByteArrayView> cells)
{
    m_model->replaceRows(std::move(bytes), std::move(cells));
}

void CatalogList::replaceRows(const QList<QStringList> &rows)
{
    m_model->replaceRows(rows);
}
