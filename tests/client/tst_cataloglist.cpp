#include "client/platform/CatalogList.h"

#include <QAbstractItemModelTester>
#include <QHeaderView>
#include <QSignalSpy>
#include <QTest>

namespace {

void addSixColumns(CatalogList &list)
{
    const int widths[] = {86, 200, 87, 140, 0, 0};
    for (int i = 0; i < 6; ++i)
        list.addColumn(i, QStringLiteral("c%1").arg(i), widths[i], 0);
}

QPoint rowCentre(CatalogList &list, int row)
{
    return list.visualRect(list.model()->index(row, 1)).center();
}

} // namespace

class TestCatalogList : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void hiddenColumnsKeepTheirText()
    {
        CatalogList list;
        addSixColumns(list);
        list.addRow(0, QStringLiteral("cat"));
        for (int c = 1; c < 6; ++c)
            list.setCell(0, c, QStringLiteral("v%1").arg(c));
        QVERIFY(list.isColumnHidden(4));
        QVERIFY(list.isColumnHidden(5));
        QVERIFY(!list.isColumnHidden(1));
        QCOMPARE(list.columnWidth(1), 200);
        QCOMPARE(list.cell(0, 4), QStringLiteral("v4"));
        QCOMPARE(list.cell(0, 5), QStringLiteral("v5"));
        QCOMPARE(list.model()->headerData(5, Qt::Horizontal).toString(), QStringLiteral("c5"));
    }

    void rowsAreNumberedAgainAfterClearing()
    {
        CatalogList list;
        addSixColumns(list);
        list.addRow(0, QStringLiteral("a"));
        list.addRow(1, QStringLiteral("b"));
        list.clearRows();
        QCOMPARE(list.rowCount(), 0);
        list.addRow(list.rowCount(), QStringLiteral("c"));
        QCOMPARE(list.rowCount(), 1);
        QCOMPARE(list.cell(0, 0), QStringLiteral("c"));
    }

    void cellsOutsideTheListAreEmpty_data()
    {
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("column");
        QTest::newRow("no row selected") << -1 << 1;
        QTest::newRow("beyond the rows") << 3 << 1;
        QTest::newRow("negative column") << 0 << -1;
        QTest::newRow("beyond the columns") << 0 << 9;
    }
    void cellsOutsideTheListAreEmpty()
    {
        QFETCH(int, row);
        QFETCH(int, column);
        CatalogList list;
        addSixColumns(list);
        list.addRow(0, QStringLiteral("a"));
        list.setCell(row, column, QStringLiteral("ignored"));
        QCOMPARE(list.cell(row, column), QString());
        QCOMPARE(list.rowCount(), 1);
    }

    void whiteBackgroundAndHeaders()
    {
        CatalogList list;
        addSixColumns(list);
        list.applySettings(true, 1, true, true, true, false, 0xFFFFFF);
        QCOMPARE(list.palette().color(QPalette::Base), QColor(Qt::white));
        QVERIFY(!list.isHeaderHidden());
        // 0x00BBGGRR: red in the low byte
        list.applySettings(true, 1, true, true, true, false, 0x0000FF);
        QCOMPARE(list.palette().color(QPalette::Base), QColor(255, 0, 0));
    }

    void notifications()
    {
        CatalogList list;
        addSixColumns(list);
        QList<QStringList> rows;
        for (int i = 0; i < 5; ++i)
            rows.append({QStringLiteral("c"), QString::number(i), {}, {}, {}, {}});
        list.replaceRows(rows);
        list.resize(520, 300);
        list.show();
        QVERIFY(QTest::qWaitForWindowExposed(&list));

        QSignalSpy selected(&list, &CatalogList::rowSelected);
        QSignalSpy activated(&list, &CatalogList::rowActivated);

        QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, rowCentre(list, 2));
        QVERIFY(!selected.isEmpty());
        QCOMPARE(selected.last().at(0).toInt(), 2);
        QCOMPARE(activated.size(), 0);

        QTest::keyClick(&list, Qt::Key_Down);
        QCOMPARE(selected.last().at(0).toInt(), 3);

        QTest::keyClick(&list, Qt::Key_Return);
        QCOMPARE(activated.size(), 1);

        const QPoint at = rowCentre(list, 1);
        QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, at);
        QTest::mouseDClick(list.viewport(), Qt::LeftButton, {}, at);
        QCOMPARE(selected.last().at(0).toInt(), 1);
        QCOMPARE(activated.size(), 2);
    }

    // Every list operation keeps the model's promises to its views.
    void modelKeepsItsContract()
    {
        CatalogList list;
        QAbstractItemModelTester tester(list.model(),
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        addSixColumns(list);
        list.addRow(0, QStringLiteral("a"));
        list.setCell(0, 3, QStringLiteral("d"));
        list.addColumn(2, QStringLiteral("inserted"), 50);
        QCOMPARE(list.cell(0, 4), QStringLiteral("d"));
        list.replaceRows(tavrel::parseCatalogPage("x\x02y\x01?TtbBa?1?1"));
        QCOMPARE(list.cell(0, 1), QStringLiteral("y"));
        list.addColumn(7, QStringLiteral("after the page"), 50);
        QCOMPARE(list.cell(0, 1), QStringLiteral("y"));
        list.addRow(1, QStringLiteral("z"));
        QCOMPARE(list.cell(0, 1), QStringLiteral("y"));
        QCOMPARE(list.cell(1, 0), QStringLiteral("z"));
        list.replaceRows(QList<QStringList>(3, QStringList{QStringLiteral("r")}));
        QCOMPARE(list.rowCount(), 3);
        list.clearRows();
        list.clearColumns();
        QCOMPARE(list.model()->columnCount(), 0);
    }

    void manyRowsAreShown()
    {
        CatalogList list;
        addSixColumns(list);
        QList<QStringList> rows(
            40000, QStringList{QStringLiteral("c"), QStringLiteral("t"), {}, {}, {}, {}});
        list.replaceRows(rows);
        QCOMPARE(list.rowCount(), 40000);
        QCOMPARE(list.model()->rowCount(), 40000);
    }
};

QTEST_MAIN(TestCatalogList)
#include "tst_cataloglist.moc"
