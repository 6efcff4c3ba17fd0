#include "core/Encoding.h"

#include <QTest>

using namespace tavrel;

namespace {
QString S(const char16_t *text, qsizetype size = -1)
{
    return QString::fromUtf16(text, size);
}
} // namespace

class TestEncoding : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void utf8ToUnicode_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("expected");

        QTest::newRow("empty") << QByteArray() << QString();
        QTest::newRow("two CJK characters")
            << QByteArray::fromHex("E4B8ADE69687") << S(u"\u4E2D\u6587");
        QTest::newRow("BOM kept as U+FEFF")
            << QByteArray::fromHex("EFBBBF41") << QString(QChar(0xFEFF)) + QLatin1Char('A');
        QTest::newRow("lone 0xFF becomes U+FFFD, rest decoded")
            << QByteArray::fromHex("41FF42") << S(u"A\uFFFDB");
        QTest::newRow("truncated sequence at the end is replaced, not dropped")
            << QByteArray::fromHex("41E4B8") << S(u"A\uFFFD\uFFFD");
        QTest::newRow("control bytes of the catalog page pass through")
            << QByteArray("a\x02" "b\x01", 4) << S(u"a\u0002b\u0001");
        QTest::newRow("four-byte sequence becomes a surrogate pair")
            << QByteArray::fromHex("F09F9880") << S(u"\U0001F600");
        QTest::newRow("NUL byte kept") << QByteArray("a\0b", 3) << S(u"a\u0000b", 3);
    }
    void utf8ToUnicode()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, expected);
        const QString text = tavrel::utf8ToUnicode(bytes);
        QCOMPARE(text, expected);
        QVERIFY(text.size() <= bytes.size());
    }

    void gbToUtf8_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");

        QTest::newRow("empty") << QString() << QString();
        QTest::newRow("ASCII unchanged, reserved characters too")
            << QStringLiteral("ab 12&=?#+%") << QStringLiteral("ab 12&=?#+%");
        QTest::newRow("U+4E2D") << S(u"\u4E2D") << QStringLiteral("%E4%B8%AD");
        QTest::newRow("full-width comma") << S(u"\uFF0C") << QStringLiteral("%EF%BC%8C");
        QTest::newRow("U+00E9") << S(u"\u00E9") << QStringLiteral("%C3%A9");
        QTest::newRow("U+00B7") << S(u"\u00B7") << QStringLiteral("%C2%B7");
        QTest::newRow("last two-byte form") << S(u"\u07FF") << QStringLiteral("%DF%BF");
        QTest::newRow("first three-byte form") << S(u"\u0800") << QStringLiteral("%E0%A0%80");
        QTest::newRow("U+0080 is escaped") << S(u"\u0080") << QStringLiteral("%C2%80");
        QTest::newRow("U+007F is not") << S(u"\u007F") << S(u"\u007F");
        QTest::newRow("surrogate halves encoded one by one")
            << S(u"\U0001F600") << QStringLiteral("%ED%A0%BD%ED%B8%80");
        QTest::newRow("mixed") << S(u"a\u4E2Db") << QStringLiteral("a%E4%B8%ADb");
    }
    void gbToUtf8()
    {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        QCOMPARE(tavrel::gbToUtf8(text), expected);
    }

    void encodeQueryValue_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");

        QTest::newRow("plain") << QStringLiteral("abc-1.2_3~") << QStringLiteral("abc-1.2_3~");
        QTest::newRow("ampersand stays data") << QStringLiteral("a&b=c")
                                               << QStringLiteral("a%26b%3Dc");
        QTest::newRow("hash plus percent") << QStringLiteral("#+%") << QStringLiteral("%23%2B%25");
        QTest::newRow("blank") << QStringLiteral("a b") << QStringLiteral("a%20b");
        QTest::newRow("control characters") << S(u"\t\n") << QStringLiteral("%09%0A");
        QTest::newRow("CJK as in a search") << S(u"\u4E2D&")
                                            << QStringLiteral("%E4%B8%AD%26");
    }
    void encodeQueryValue()
    {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        QCOMPARE(tavrel::encodeQueryValue(text), expected);
    }

    void trimBlanks_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        QTest::newRow("blanks around") << QStringLiteral("  a b  ") << QStringLiteral("a b");
        QTest::newRow("tabs and line breaks stay")
            << QStringLiteral("\t a \n") << QStringLiteral("\t a \n");
        QTest::newRow("only blanks") << QStringLiteral("   ") << QString();
        QTest::newRow("ideographic space stays") << S(u"\u3000a") << S(u"\u3000a");
    }
    void trimBlanks()
    {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        QCOMPARE(tavrel::trimBlanks(text), expected);
    }
};

QTEST_APPLESS_MAIN(TestEncoding)
#include "tst_encoding.moc"
