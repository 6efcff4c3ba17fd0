#include "core/CatalogPage.h"
#include "core/Encoding.h"

#include <QRandomGenerator>
#include <QTest>

using namespace tavrel;
using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(tavrel::CatalogRecord)

namespace {

QString record(const QStringList &fields)
{
    return fields.join(QChar(u'\x02')) + QChar(u'\x01');
}

const QStringList six = {QStringLiteral("工具"), QStringLiteral("标题"), QStringLiteral("免费"),
                         QStringLiteral("2026-01-02 03:04:05"), QStringLiteral("a.zip"),
                         QStringLiteral("17")};

} // namespace

class TestCatalogPage : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void parse_data()
    {
        QTest::addColumn<QString>("reply");
        QTest::addColumn<QList<QStringList>>("rows");
        QTest::addColumn<QString>("recordCount"); // "<none>" when the label stays
        QTest::addColumn<int>("pageCount");

        const QString none = QStringLiteral("<none>");
        QStringList twoFields = {QStringLiteral("c"), QStringLiteral("t"), {}, {}, {}, {}};

        QTest::newRow("trailer only") << QStringLiteral("?TtbBa?0?0") << QList<QStringList>{}
                                      << QStringLiteral("0") << 0;
        QTest::newRow("one record") << record(six) + QStringLiteral("?TtbBa?1?1")
                                    << QList<QStringList>{six} << QStringLiteral("1") << 1;
        QTest::newRow("seven fields show six")
            << record(six + QStringList{QStringLiteral("extra")}) + QStringLiteral("?TtbBa?1?1")
            << QList<QStringList>{six} << QStringLiteral("1") << 1;
        QTest::newRow("two fields leave four empty")
            << record({QStringLiteral("c"), QStringLiteral("t")}) + QStringLiteral("?TtbBa?1?1")
            << QList<QStringList>{twoFields} << QStringLiteral("1") << 1;
        QTest::newRow("record without separator before trailer is not shown")
            << record(six) + six.join(QChar(u'\x02')) + QStringLiteral("?TtbBa?2?1")
            << QList<QStringList>{six} << QStringLiteral("2") << 1;
        QTest::newRow("blanks around counts")
            << QStringLiteral("?TtbBa? 25 ? 3 ") << QList<QStringList>{}
            << QStringLiteral(" 25 ") << 3;
        QTest::newRow("extra trailer value ignored")
            << QStringLiteral("?TtbBa?25?3?9") << QList<QStringList>{} << QStringLiteral("25")
            << 3;
        QTest::newRow("second marker ends the trailer")
            << QStringLiteral("?TtbBa?25?3?TtbBa?7?8") << QList<QStringList>{}
            << QStringLiteral("25") << 3;
        QTest::newRow("wrong-case marker is no marker")
            << QStringLiteral("?ttbba?5?2") << QList<QStringList>{} << QString() << 0;
        QTest::newRow("error page without trailer")
            << QStringLiteral("<html>oops</html>") << QList<QStringList>{}
            << QStringLiteral("<html>oops</html>") << 0;
        QTest::newRow("short status reply read as a page") << QStringLiteral("0")
                                                         << QList<QStringList>{}
                                                         << QStringLiteral("0") << 0;
        QTest::newRow("empty reply leaves the label") << QString() << QList<QStringList>{}
                                                      << none << 0;
        QTest::newRow("page count 2.5 rounds to even 2")
            << QStringLiteral("?TtbBa?40?2.5") << QList<QStringList>{} << QStringLiteral("40")
            << 2;
        QTest::newRow("page count 3.5 rounds to even 4")
            << QStringLiteral("?TtbBa?40?3.5") << QList<QStringList>{} << QStringLiteral("40")
            << 4;
        QTest::newRow("page count not a number") << QStringLiteral("?TtbBa?40?x")
                                                 << QList<QStringList>{}
                                                 << QStringLiteral("40") << 0;
        QTest::newRow("page count too large") << QStringLiteral("?TtbBa?40?99999999999")
                                              << QList<QStringList>{}
                                              << QStringLiteral("40") << 0;
        QTest::newRow("missing page count") << QStringLiteral("?TtbBa?40")
                                            << QList<QStringList>{} << QStringLiteral("40")
                                            << 0;
        QTest::newRow("empty pieces add no rows")
            << QStringLiteral("\x01\x01") + record(six) + QStringLiteral("?TtbBa?1?1")
            << QList<QStringList>{six} << QStringLiteral("1") << 1;
        QString bomFirst = six.first();
        QStringList bomRow = six;
        bomRow[0] = QChar(0xFEFF) + bomFirst;
        QTest::newRow("BOM joins the first field")
            << utf8ToUnicode(QByteArray::fromHex("EFBBBF")
                             + (record(six) + QStringLiteral("?TtbBa?1?1")).toUtf8())
            << QList<QStringList>{bomRow} << QStringLiteral("1") << 1;
    }
    void parse()
    {
        QFETCH(QString, reply);
        QFETCH(QList<QStringList>, rows);
        QFETCH(QString, recordCount);
        QFETCH(int, pageCount);

        const CatalogPage page = parseCatalogPage(reply.toUtf8());
        QList<QStringList> parsed;
        for (qsizetype r = 0; r < page.rowCount(); ++r)
            parsed.append(page.row(r));
        QCOMPARE(parsed, rows);
        if (recordCount == QStringLiteral("<none>"))
            QVERIFY(!page.recordCount.has_value());
        else
            QCOMPARE(page.recordCount.value_or(QStringLiteral("<none>")), recordCount);
        QCOMPARE(page.pageCount, pageCount);
    }

    // Cutting bytes before decoding must give what decoding the whole reply first gives.
    void cellsDecodeAsTheWholeReplyWould_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::newRow("lead byte before a field separator")
            << QByteArray("a\xE4\x02" "b\x01?TtbBa?1?1");
        QTest::newRow("cut sequence before a record separator")
            << QByteArray("a\x02" "b\xE4\xB8\x01?TtbBa?1?1");
        QTest::newRow("lone continuation bytes") << QByteArray("\x80\x80\x02\xBF\x01?TtbBa?1?1");
        QTest::newRow("BOM at the start") << QByteArray("\xEF\xBB\xBFx\x02y\x01?TtbBa?1?1");
        QTest::newRow("CJK cells") << QByteArray("\xE4\xB8\xAD\x02\xE6\x96\x87\x01?TtbBa?1?1");
    }
    void cellsDecodeAsTheWholeReplyWould()
    {
        QFETCH(QByteArray, reply);
        const QString text = utf8ToUnicode(reply);
        const QStringList expected =
            text.left(text.indexOf(QChar(u'\x01'))).split(QChar(u'\x02'));
        const CatalogPage page = parseCatalogPage(reply);
        QCOMPARE(page.rowCount(), 1);
        QCOMPARE(page.row(0).mid(0, expected.size()), expected);
    }

    // What the server builds, the client reads back field for field.
    void builtPagesReadBack_data()
    {
        QTest::addColumn<QList<CatalogRecord>>("records");
        QTest::addColumn<qint64>("recordCount");
        QTest::addColumn<int>("pageCount");

        QTest::newRow("empty list") << QList<CatalogRecord>{} << qint64(0) << 0;
        QTest::newRow("chinese and blanks")
            << QList<CatalogRecord>{{QStringLiteral("工具"), QStringLiteral(" 工具\\补丁 "),
                                     QStringLiteral("免费"), QStringLiteral("2024-05-01 10:00:00"),
                                     QStringLiteral("系统 补丁.zip"), 7}}
            << qint64(25) << 3;
        QTest::newRow("empty fields") << QList<CatalogRecord>{{{}, {}, {}, {}, {}, 0}, {}}
                                      << qint64(2) << 1;
        QTest::newRow("question marks and the marker's letters")
            << QList<CatalogRecord>{{QStringLiteral("?"), QStringLiteral("TtbBa?"),
                                     QStringLiteral("?TtbBa"), QStringLiteral("??"),
                                     QStringLiteral("a?b"), 1}}
            << qint64(1) << 1;

        // Random clean fields from a pool of ASCII punctuation, CJK and a surrogate pair.
        const QStringList pool = {u"a"_s, u"Z"_s, u"0"_s, u"9"_s, u" "_s,  u"?"_s, u"&"_s, u"%"_s,
                                  u"#"_s, u"+"_s, u"="_s, u"."_s, u"/"_s, u"\\"_s, u"中"_s,
                                  u"补"_s, u"丁"_s, u"："_s, u"é"_s, u"😀"_s};
        QRandomGenerator random(20261208);
        auto field = [&] {
            QString text;
            for (int n = random.bounded(0, 12); n > 0; --n)
                text += pool.at(random.bounded(int(pool.size())));
            return text;
        };
        for (int round = 0; round < 5; ++round) {
            QList<CatalogRecord> records;
            const int count = random.bounded(1, 60);
            for (int i = 0; i < count; ++i)
                records.append({field(), field(), field(), field(), field(),
                                random.bounded(1, 1 << 30)});
            QTest::addRow("random %d", round)
                << records << qint64(count) * 1000 << random.bounded(0, 100000);
        }
    }
    void builtPagesReadBack()
    {
        QFETCH(QList<CatalogRecord>, records);
        QFETCH(qint64, recordCount);
        QFETCH(int, pageCount);

        QList<QStringList> expected;
        for (const CatalogRecord &r : records) {
            for (const QString &field : {r.category, r.title, r.licence, r.updated, r.fileName})
                QVERIFY2(isCleanField(field), qPrintable(field));
            expected.append({r.category, r.title, r.licence, r.updated, r.fileName,
                             QString::number(r.id)});
        }
        const CatalogPage page = parseCatalogPage(buildCatalogPage(records, recordCount, pageCount));
        QList<QStringList> rows;
        for (qsizetype r = 0; r < page.rowCount(); ++r)
            rows.append(page.row(r));
        QCOMPARE(rows, expected);
        QCOMPARE(page.recordCount, std::optional<QString>(QString::number(recordCount)));
        QCOMPARE(page.pageCount, pageCount);
    }

    // What would change the page's shape never goes into a field.
    void fieldsThatWouldBreakThePage_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("clean");
        QTest::newRow("plain") << QStringLiteral("Easy Backup 2.1") << true;
        QTest::newRow("chinese and question marks") << QStringLiteral("补丁?是") << true;
        QTest::newRow("empty") << QString() << true;
        QTest::newRow("record separator") << QStringLiteral("a\u0001b") << false;
        QTest::newRow("field separator") << QStringLiteral("a\u0002b") << false;
        QTest::newRow("trailer marker") << QStringLiteral("x?TtbBa?1?1") << false;
        QTest::newRow("tab") << QStringLiteral("a\tb") << false;
        QTest::newRow("DEL") << QStringLiteral("a\u007fb") << false;
    }
    void fieldsThatWouldBreakThePage()
    {
        QFETCH(QString, text);
        QFETCH(bool, clean);
        QCOMPARE(isCleanField(text), clean);
    }

    void manyRecordsAreAllKept()
    {
        QString reply;
        const int count = 40000; // beyond a 16-bit row counter
        for (int i = 0; i < count; ++i)
            reply += record({QStringLiteral("c"), QString::number(i), {}, {}, {}, {}});
        reply += QStringLiteral("?TtbBa?40000?1");
        const CatalogPage page = parseCatalogPage(reply.toUtf8());
        QCOMPARE(page.rowCount(), count);
        QCOMPARE(page.row(count - 1).at(1), QString::number(count - 1));
    }
};

QTEST_APPLESS_MAIN(TestCatalogPage)
#include "tst_catalogpage.moc"
