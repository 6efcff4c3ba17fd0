#pragma once

#include <QAbstractTableModel>
#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QStringList>
#include <QTreeView>

// Rows of text cells under captioned columns; cells of hidden columns keep their text.
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
    // Replaces every row at once: one reset instead of a signal per cell. The cells are UTF-8
    // views into the bytes, six per row; the model keeps the bytes and decodes a cell only
    // when it is shown or read.
    void replaceRows(QByteArray bytes, QList<QByteArrayView> cells);
    void replaceRows(const QList<QStringList> &rows);

private:
    QByteArrayView keep(const QString &text);

    QStringList m_captions;
    QList<QByteArray> m_buffers;   // every buffer a cell points into
    QList<QByteArrayView> m_cells; // m_captions.size() per row
    int m_rows = 0;
};

// The catalogue list: a model/view table with the list operations of a list widget and two
// notifications, row selected (click or keyboard move) and row activated (double-click or Enter).
// The window fills whole pages with replaceRows; addRow and setCell are the list's public
// interface for filling it a row and a cell at a time, and behave as replaceRows would.
class CatalogList : public QTreeView
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
    void replaceRows(QByteArray bytes, QList<QByteArrayView> cells);
    void replaceRows(const QList<QStringList> &rows);

    CatalogModel *catalogModel() const { return m_model; }

Q_SIGNALS:
    void rowSelected(int row);
    void rowActivated();

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    CatalogModel *m_model;
};
