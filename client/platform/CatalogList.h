#pragma once

#include "core/CatalogPage.h"

#include <QAbstractTableModel>
#include <QHash>
#include <QIcon>
#include <QList>
#include <QStringList>
#include <QTableView>

#include <functional>

// What one cell says beyond its text: an icon, and one line for its tooltip and for screen
// readers (the cell's accessible description).
struct RowMark
{
    QIcon icon;
    QString text;
};
// The mark of a row, asked only for rows that are painted or read.
using RowMarker = std::function<RowMark(int row)>;

// Rows of text cells under captioned columns; cells of hidden columns keep their text.
//
// A page from the server is kept as it came (its bytes and one offset per record) and a cell is
// cut and decoded only when it is shown or read, so a page of millions of records costs little
// more than its reply. Rows filled a cell at a time are kept as text.
class CatalogModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    using QAbstractTableModel::QAbstractTableModel;

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    void clearColumns();
    void insertColumn(int position, const QString &caption);
    void clearRows();
    void appendRow(const QString &firstCell);
    void setCell(int row, int column, const QString &text);
    QString cell(int row, int column) const;
    // Replaces every row at once: one reset instead of a signal per cell. A page's six fields
    // fill the first six columns.
    void replaceRows(tavrel::CatalogPage page);
    void replaceRows(const QList<QStringList> &rows);

    // Marks one column's cells. A row's mark is asked once per showing of the rows: again
    // after refreshMarks, or when the rows change.
    void setRowMarker(int column, RowMarker marker);
    void refreshMarks();

private:
    const RowMark &markOf(int row) const;
    // Turns the page's rows into rows of text, before a row or a column is changed by hand.
    void keepPageAsText();

    QStringList m_captions;
    tavrel::CatalogPage m_page; // the rows, when a page is on show
    QList<QStringList> m_rows;  // the rows otherwise
    int m_markColumn = -1;
    RowMarker m_marker;
    mutable QHash<int, RowMark> m_marks; // the rows' marks asked so far
};

// The catalogue list: a model/view table with the list operations of a list widget and two
// notifications, row selected (click or keyboard move) and row activated (double-click or Enter),
// and a row's menu asked for (right click, the Menu key or Shift+F10).
// The window fills whole pages with replaceRows; addRow and setCell are the list's public
// interface for filling it a row and a cell at a time, and behave as replaceRows would.
//
// A table view, not a tree view: a tree view keeps forty bytes of layout for every row, a table
// view only a row height, so a page of millions of rows stays affordable.
class CatalogList : public QTableView
{
    Q_OBJECT

public:
    explicit CatalogList(QWidget *parent = nullptr);

    void clearColumns();
    // A width of 0 hides the column; its cells stay readable.
    void addColumn(int position, const QString &caption, int width, int reserved = 0);
    // The list's settings, written once at start-up; the window asks for a white list with
    // grid-like rows, whole-row selection and visible headers. Public interface with the
    // settings a list widget takes: `style` (there is one look) and `checkBoxes` (rows carry
    // none) are accepted and change nothing; the colour is 0x00BBGGRR.
    void applySettings(bool fullRowSelect, int style, bool gridLines, bool headerVisible,
                       bool hotTracking, bool checkBoxes, quint32 backColour);

    void clearRows();
    int rowCount() const;
    // Appends a row, whatever position it names (callers always name the end); the reserved
    // values are accepted and change nothing.
    void addRow(int position, const QString &firstCell, int reserved1 = 0, int reserved2 = 0);
    // A cell outside the rows or columns is left alone.
    void setCell(int row, int column, const QString &text, int reserved = 0);
    QString cell(int row, int column) const;
    void replaceRows(tavrel::CatalogPage page);
    void replaceRows(const QList<QStringList> &rows);
    void setRowMarker(int column, RowMarker marker);
    void refreshMarks();

    CatalogModel *catalogModel() const { return m_model; }
    bool isHeaderHidden() const;
    void setHeaderHidden(bool hidden);

Q_SIGNALS:
    void rowSelected(int row);
    void rowActivated();
    // At globalPos: where the mouse was, or under the current row's title for the keyboard.
    void rowMenuRequested(int row, const QPoint &globalPos);

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;

private:
    CatalogModel *m_model;
};
