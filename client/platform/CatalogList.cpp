#include "CatalogList.h"

#include "core/Encoding.h"

#include <QContextMenuEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QPalette>
#include <QStyledItemDelegate>

#include <algorithm>
#include <limits>

int CatalogModel::rowCount(const QModelIndex &parent) const
{
    if (parent.isValid() || m_captions.isEmpty())
        return 0;
    const qsizetype rows = m_page.rowCount() > 0 ? m_page.rowCount() : m_rows.size();
    return int(std::min<qsizetype>(rows, std::numeric_limits<int>::max()));
}

int CatalogModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_captions.size());
}

QVariant CatalogModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid())
        return {};
    if (role == Qt::DisplayRole)
        return cell(index.row(), index.column());
    if (index.column() != m_markColumn || !m_marker)
        return {};
    switch (role) {
    case Qt::DecorationRole: {
        const QIcon &icon = markOf(index.row()).icon;
        return icon.isNull() ? QVariant() : QVariant(icon);
    }
    case Qt::ToolTipRole:
    case Qt::AccessibleDescriptionRole: {
        const QString &text = markOf(index.row()).text;
        return text.isEmpty() ? QVariant() : QVariant(text);
    }
    default:
        return {};
    }
}

const RowMark &CatalogModel::markOf(int row) const
{
    auto it = m_marks.constFind(row);
    if (it == m_marks.constEnd())
        it = m_marks.insert(row, m_marker(row));
    return *it;
}

void CatalogModel::setRowMarker(int column, RowMarker marker)
{
    m_markColumn = column;
    m_marker = std::move(marker);
    refreshMarks();
}

void CatalogModel::refreshMarks()
{
    m_marks.clear();
    if (m_markColumn < 0 || m_markColumn >= columnCount() || rowCount() == 0)
        return;
    Q_EMIT dataChanged(index(0, m_markColumn), index(rowCount() - 1, m_markColumn),
                       {Qt::DecorationRole, Qt::ToolTipRole, Qt::AccessibleDescriptionRole});
}

QVariant CatalogModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
        section >= m_captions.size())
        return {};
    return m_captions.at(section);
}

void CatalogModel::keepPageAsText()
{
    if (m_page.rowCount() == 0)
        return;
    QList<QStringList> rows;
    rows.reserve(m_page.rowCount());
    for (qsizetype r = 0; r < m_page.rowCount(); ++r)
        rows.append(m_page.row(r));
    m_rows = std::move(rows);
    m_page = {};
}

void CatalogModel::clearColumns()
{
    beginResetModel();
    m_marks.clear();
    m_captions.clear();
    m_page = {};
    m_rows.clear();
    endResetModel();
}

void CatalogModel::insertColumn(int position, const QString &caption)
{
    position = std::clamp(position, 0, int(m_captions.size()));
    // A page fills the first six columns; only a column added after them leaves it as it is.
    if (position < tavrel::CatalogColumns)
        keepPageAsText();
    beginInsertColumns({}, position, position);
    m_captions.insert(position, caption);
    for (QStringList &row : m_rows) {
        if (position <= row.size())
            row.insert(position, QString());
    }
    endInsertColumns();
}

void CatalogModel::clearRows()
{
    if (rowCount() == 0 && m_rows.isEmpty() && m_page.rowCount() == 0)
        return;
    beginResetModel();
    m_marks.clear();
    m_page = {};
    m_rows.clear();
    endResetModel();
}

void CatalogModel::appendRow(const QString &firstCell)
{
    if (m_captions.isEmpty())
        return;
    keepPageAsText();
    const int row = rowCount();
    beginInsertRows({}, row, row);
    m_rows.append(QStringList{firstCell});
    endInsertRows();
}

void CatalogModel::setCell(int row, int column, const QString &text)
{
    if (row < 0 || row >= rowCount() || column < 0 || column >= m_captions.size())
        return;
    keepPageAsText();
    QStringList &cells = m_rows[row];
    while (cells.size() <= column)
        cells.append(QString());
    cells[column] = text;
    m_marks.remove(row);
    const QModelIndex at = index(row, column);
    Q_EMIT dataChanged(at, at, {Qt::DisplayRole});
}

QString CatalogModel::cell(int row, int column) const
{
    if (row < 0 || row >= rowCount() || column < 0 || column >= m_captions.size())
        return {};
    if (m_page.rowCount() > 0)
        return tavrel::utf8ToUnicode(m_page.cell(row, column));
    return m_rows.at(row).value(column);
}

void CatalogModel::replaceRows(tavrel::CatalogPage page)
{
    beginResetModel();
    m_marks.clear();
    m_rows.clear();
    m_page = std::move(page);
    endResetModel();
}

void CatalogModel::replaceRows(const QList<QStringList> &rows)
{
    beginResetModel();
    m_marks.clear();
    m_page = {};
    m_rows = rows;
    endResetModel();
}

namespace {

// Rows are selected whole, so the focus frame of a single cell would only mislead.
class RowDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem *option, const QModelIndex &index) const override
    {
        QStyledItemDelegate::initStyleOption(option, index);
        option->state &= ~QStyle::State_HasFocus;
    }
};

} // namespace

CatalogList::CatalogList(QWidget *parent) : QTableView(parent), m_model(new CatalogModel(this))
{
    setModel(m_model);
    setItemDelegate(new RowDelegate(this));
    setShowGrid(false);
    setWordWrap(false);
    setCornerButtonEnabled(false);
    setTabKeyNavigation(false); // Tab leaves the list for the next control
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    verticalHeader()->hide();
    // Latin and Chinese cells are drawn without a shaping pass (no kerning or ligatures in a
    // list of names); scripts that need shaping still get it. Shaping was a third of a page's paint.
    QFont cellFont = font();
    cellFont.setStyleStrategy(QFont::PreferNoShaping);
    setFont(cellFont);
    // One height for every row, so none is measured: the rows of a page cost nothing to lay out.
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
    // Hidden until the settings ask for it: a shown header measures every caption again for
    // each column added.
    horizontalHeader()->hide();
    horizontalHeader()->setStretchLastSection(false);
    horizontalHeader()->setSectionsMovable(false);
    horizontalHeader()->setHighlightSections(false);
    horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);

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
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
        currentIndex().isValid()) {
        Q_EMIT rowActivated();
        event->accept();
        return;
    }
    // Shift+F10 opens the row's menu, as the Menu key does.
    if (event->key() == Qt::Key_F10 && event->modifiers() == Qt::ShiftModifier) {
        QContextMenuEvent menu(QContextMenuEvent::Keyboard, QPoint(), QPoint(), event->modifiers());
        contextMenuEvent(&menu);
        event->accept();
        return;
    }
    QTableView::keyPressEvent(event);
}

void CatalogList::contextMenuEvent(QContextMenuEvent *event)
{
    QModelIndex at;
    QPoint pos;
    if (event->reason() == QContextMenuEvent::Mouse) {
        at = indexAt(event->pos());
        pos = event->globalPos();
        if (at.isValid()) // the menu is for the row under the mouse: it becomes the current one
            setCurrentIndex(at);
    } else {
        at = currentIndex();
        if (at.isValid()) {
            // Under the row's first column on show: the current cell may be a hidden one.
            at = at.siblingAtColumn(std::max(columnAt(0), 0));
            scrollTo(at);
            const QRect cell = visualRect(at);
            pos = viewport()->mapToGlobal(QPoint(cell.left() + cell.height(), cell.bottom()));
        }
    }
    event->accept();
    if (at.isValid())
        Q_EMIT rowMenuRequested(at.row(), pos);
}

bool CatalogList::isHeaderHidden() const
{
    return horizontalHeader()->isHidden();
}

void CatalogList::setHeaderHidden(bool hidden)
{
    horizontalHeader()->setHidden(hidden);
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

void CatalogList::replaceRows(tavrel::CatalogPage page)
{
    m_model->replaceRows(std::move(page));
}

void CatalogList::replaceRows(const QList<QStringList> &rows)
{
    m_model->replaceRows(rows);
}

void CatalogList::setRowMarker(int column, RowMarker marker)
{
    m_model->setRowMarker(column, std::move(marker));
}

void CatalogList::refreshMarks()
{
    m_model->refreshMarks();
}
