#include "progress/JsonPropertyBag.h"
#include "progress/ProgressBar.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <climits>

namespace {

// A bag that remembers the order keys were asked for and written in.
class RecordingBag : public PropertyBag
{
public:
    QStringList reads;
    QStringList writes;
    QVariantMap values;

protected:
    std::optional<QVariant> storedValue(const QString &key) const override
    {
        const_cast<RecordingBag *>(this)->reads << key;
        if (values.contains(key))
            return values.value(key);
        return std::nullopt;
    }
    void store(const QString &key, const QVariant &value) override
    {
        writes << key;
        values.insert(key, value);
    }
    void erase(const QString &key) override
    {
        writes << key;
        values.remove(key);
    }
};

QStringList namesOf(const QSignalSpy &spy)
{
    QStringList names;
    for (const auto &args : spy)
        names << args.at(0).toString();
    return names;
}

QRgb pixelAt(const ProgressBar &bar, int x, int y)
{
    return bar.picture().pixel(x, y) & 0xFFFFFF;
}

} // namespace

class TestProgressProperties : public QObject
{
    Q_OBJECT

private slots:
    void rangeRules_data();
    void rangeRules();
    void newBarValueBeforeMax();
    void everySetterNotifiesItsName_data();
    void everySetterNotifiesItsName();
    void notifiesBeforeRepaint();
    void initProperties();
    void writeDefaultsNotStored_data();
    void writeDefaultsNotStored();
    void roundTripThroughFile();
    void loadBag_data();
    void loadBag();
    void unreadableFontKeepsCurrent_data();
    void unreadableFontKeepsCurrent();
    void mainWindowFontHasLinuxFallback();
    void readAndWriteOrder();
    void badFiles_data();
    void badFiles();
    void saveFailureKeepsOldFile();
};

void TestProgressProperties::rangeRules_data()
{
    QTest::addColumn<int>("min");
    QTest::addColumn<int>("max");
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("property");
    QTest::addColumn<int>("argument");
    QTest::addColumn<int>("expectedMin");
    QTest::addColumn<int>("expectedMax");
    QTest::addColumn<int>("expectedValue");
    QTest::addColumn<QStringList>("notified");

    const QStringList vm{"Value", "Max"};
    const QStringList vn{"Value", "Min"};
    QTest::newRow("max 0 becomes 1") << 0 << 100 << 50 << "Max" << 0 << 0 << 1 << 1 << vm;
    QTest::newRow("max negative becomes 1") << 0 << 100 << 50 << "Max" << -7 << 0 << 1 << 1 << vm;
    QTest::newRow("max lowest int becomes 1") << 0 << 100 << 0 << "Max" << INT_MIN << 0 << 1 << 0 << QStringList{"Max"};
    QTest::newRow("max 5 over min 10 becomes 11") << 10 << 100 << 50 << "Max" << 5 << 10 << 11 << 11 << vm;
    QTest::newRow("max equal to min moves above it") << 10 << 100 << 10 << "Max" << 10 << 10 << 11 << 10 << QStringList{"Max"};
    QTest::newRow("max below value lowers value first") << 0 << 100 << 80 << "Max" << 50 << 0 << 50 << 50 << vm;
    QTest::newRow("max above value leaves it") << 0 << 100 << 80 << "Max" << 200 << 0 << 200 << 80 << QStringList{"Max"};
    QTest::newRow("max highest int") << 0 << 100 << 80 << "Max" << INT_MAX << 0 << INT_MAX << 80 << QStringList{"Max"};
    QTest::newRow("min 100 becomes 99") << 0 << 100 << 50 << "Min" << 100 << 99 << 100 << 99 << vn;
    QTest::newRow("min far above max becomes 99") << 0 << 100 << 50 << "Min" << 1000 << 99 << 100 << 99 << vn;
    QTest::newRow("min -5 becomes 0") << 0 << 100 << 50 << "Min" << -5 << 0 << 100 << 50 << QStringList{"Min"};
    QTest::newRow("min lowest int becomes 0") << 10 << 100 << 50 << "Min" << INT_MIN << 0 << 100 << 50 << QStringList{"Min"};
    QTest::newRow("min 20 over value 5 raises value") << 0 << 100 << 5 << "Min" << 20 << 20 << 100 << 20 << vn;
    QTest::newRow("value 150 becomes max") << 0 << 100 << 50 << "Value" << 150 << 0 << 100 << 100 << QStringList{"Value"};
    QTest::newRow("value -3 becomes 0") << 0 << 100 << 50 << "Value" << -3 << 0 << 100 << 0 << QStringList{"Value"};
    QTest::newRow("value below min becomes min") << 10 << 100 << 50 << "Value" << 3 << 10 << 100 << 10 << QStringList{"Value"};
    QTest::newRow("value highest int becomes max") << 0 << 100 << 50 << "Value" << INT_MAX << 0 << 100 << 100 << QStringList{"Value"};
    QTest::newRow("same value again still notifies") << 0 << 100 << 50 << "Value" << 50 << 0 << 100 << 50 << QStringList{"Value"};
}

void TestProgressProperties::rangeRules()
{
    QFETCH(int, min);
    QFETCH(int, max);
    QFETCH(int, value);
    QFETCH(QString, property);
    QFETCH(int, argument);

    ProgressBar bar;
    bar.InitProperties();
    bar.setMax(max);
    bar.setMin(min);
    bar.setValue(value);
    QCOMPARE(bar.Value(), value);

    QSignalSpy spy(&bar, &ProgressBar::PropertyChanged);
    // Through the property system, as a designer or a script would set it.
    QVERIFY(bar.setProperty(property.toLatin1().constData(), argument));

    QTEST(bar.Min(), "expectedMin");
    QTEST(bar.Max(), "expectedMax");
    QTEST(bar.Value(), "expectedValue");
    QTEST(namesOf(spy), "notified");
}

void TestProgressProperties::newBarValueBeforeMax()
{
    // Before any Max is set the bar has Max 0, so every value is held at 0.
    ProgressBar bar;
    bar.setValue(5);
    QCOMPARE(bar.Value(), 0);
    bar.setMin(3);
    QCOMPARE(bar.Min(), 0);
    bar.setMax(10);
    bar.setValue(5);
    QCOMPARE(bar.Value(), 5);
}

void TestProgressProperties::everySetterNotifiesItsName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QVariant>("value");
    QTest::newRow("Max") << "Max" << QVariant(300);
    QTest::newRow("Min") << "Min" << QVariant(7);
    QTest::newRow("Value") << "Value" << QVariant(60);
    QTest::newRow("RoundedValue") << "RoundedValue" << QVariant(9);
    QTest::newRow("Enabled") << "Enabled" << QVariant(false);
    QTest::newRow("Theme") << "Theme" << QVariant(8);
    QTest::newRow("Theme again") << "Theme" << QVariant(1);
    QTest::newRow("Theme out of range kept") << "Theme" << QVariant(42);
    QTest::newRow("TextStyle") << "TextStyle" << QVariant(2);
    QTest::newRow("Orientations") << "Orientations" << QVariant(3);
    QTest::newRow("Text") << "Text" << QVariant(QStringLiteral("下载中"));
    QTest::newRow("TextEffectColor") << "TextEffectColor" << QVariant(quint32(0x123456));
    QTest::newRow("TextEffect") << "TextEffect" << QVariant(6);
    QTest::newRow("TextAlignment") << "TextAlignment" << QVariant(0);
    QTest::newRow("TextFont") << "TextFont" << QVariant(QFont(QStringLiteral("WenQuanYi Micro Hei"), 13));
    QTest::newRow("TextForeColor") << "TextForeColor" << QVariant(quint32(0xFF00FF));
    QTest::newRow("PBSCustomeColor1") << "PBSCustomeColor1" << QVariant(quint32(0x0000FF));
    QTest::newRow("PBSCustomeColor2") << "PBSCustomeColor2" << QVariant(quint32(0xFFFFFFFF));
}

void TestProgressProperties::everySetterNotifiesItsName()
{
    QFETCH(QString, name);
    QFETCH(QVariant, value);
    ProgressBar bar;
    bar.InitProperties();
    QSignalSpy spy(&bar, &ProgressBar::PropertyChanged);
    QVERIFY(bar.setProperty(name.toLatin1().constData(), value));
    QCOMPARE(namesOf(spy), QStringList{name});
    QCOMPARE(bar.property(name.toLatin1().constData()), value);
}

void TestProgressProperties::notifiesBeforeRepaint()
{
    ProgressBar bar;
    bar.resize(100, 28);
    bar.InitProperties();
    bar.setTextStyle(0);
    bar.setValue(0);
    const QRgb track = pixelAt(bar, 50, 14);

    QList<QRgb> seenAtNotification;
    connect(&bar, &ProgressBar::PropertyChanged, &bar,
            [&] { seenAtNotification << pixelAt(bar, 50, 14); });
    bar.setValue(100);
    // Listeners hear of the change while the old picture is still up; the repaint follows.
    QCOMPARE(seenAtNotification.size(), 1);
    QCOMPARE(seenAtNotification.at(0), track);
    QVERIFY(pixelAt(bar, 50, 14) != track);
}

void TestProgressProperties::initProperties()
{
    QWidget parent;
    QFont ambient(QStringLiteral("WenQuanYi Micro Hei"), 11);
    parent.setFont(ambient);
    ProgressBar bar(&parent);
    QSignalSpy spy(&bar, &ProgressBar::PropertyChanged);
    bar.InitProperties();
    QCOMPARE(namesOf(spy),
             (QStringList{"Max", "Min", "Value", "RoundedValue", "Enabled", "Theme",
                          "TextForeColor", "Text", "TextAlignment", "TextEffect",
                          "TextEffectColor", "TextStyle", "Orientations", "TextFont"}));
    QCOMPARE(bar.Max(), 100);
    QCOMPARE(bar.Value(), 50);
    QCOMPARE(bar.TextStyle(), 3);
    QCOMPARE(bar.TextEffectColor(), 0xFFFFFFu);
    QCOMPARE(bar.Text(), QStringLiteral("Velk ProgressBar"));
    QCOMPARE(bar.TextFont(), ambient);
    QCOMPARE(bar.PBSCustomeColor1(), 0u);
}

void TestProgressProperties::writeDefaultsNotStored_data()
{
    QTest::addColumn<QString>("property");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QStringList>("storedKeys");

    // A freshly placed bar differs from the stored defaults in four keys.
    const QStringList fresh{"text", "texteffect", "texteffectcolor", "textstyle"};
    QTest::newRow("fresh bar") << QString() << QVariant() << fresh;
    QTest::newRow("effect colour at its default")
        << "TextEffectColor" << QVariant(quint32(0xC8C8C8))
        << QStringList{"text", "texteffect", "textstyle"};
    QTest::newRow("empty text not stored")
        << "Text" << QVariant(QString()) << QStringList{"texteffect", "texteffectcolor", "textstyle"};
    QTest::newRow("value away from default") << "Value" << QVariant(0)
        << QStringList{"text", "texteffect", "texteffectcolor", "textstyle", "value"};
    QTest::newRow("other font") << "TextFont" << QVariant(QFont(QStringLiteral("DejaVu Sans"), 21))
        << QStringList{"text", "texteffect", "texteffectcolor", "textfont", "textstyle"};
    QTest::newRow("disabled") << "Enabled" << QVariant(false)
        << QStringList{"enabled", "text", "texteffect", "texteffectcolor", "textstyle"};
}

void TestProgressProperties::writeDefaultsNotStored()
{
    QFETCH(QString, property);
    QFETCH(QVariant, value);
    QFETCH(QStringList, storedKeys);

    ProgressBar bar;
    bar.InitProperties();
    if (!property.isEmpty())
        QVERIFY(bar.setProperty(property.toLatin1().constData(), value));
    JsonPropertyBag bag;
    bar.WriteProperties(bag);
    QStringList keys = bag.object().keys();
    keys.sort();
    QCOMPARE(keys, storedKeys);
}

void TestProgressProperties::roundTripThroughFile()
{
    ProgressBar bar;
    bar.InitProperties();
    bar.setMax(500);
    bar.setMin(20);
    bar.setValue(321);
    bar.setRoundedValue(9);
    bar.setBarEnabled(false);
    bar.setTheme(10);
    bar.setTextStyle(2);
    bar.setOrientations(2);
    bar.setText(QStringLiteral("下载 \"x\"\n"));
    bar.setTextEffectColor(0xFFFFFFFF);
    bar.setTextEffect(4);
    bar.setTextAlignment(9);
    QFont font;
    font.setFamilies({QStringLiteral("宋体"), QStringLiteral("WenQuanYi Micro Hei")});
    font.setPointSizeF(10.5);
    font.setItalic(true);
    font.setWeight(QFont::Bold);
    bar.setTextFont(font);
    bar.setTextForeColor(0x00FF00);
    bar.setPBSCustomeColor1(0x0000FF);
    bar.setPBSCustomeColor2(0x80000005);

    JsonPropertyBag bag;
    bar.WriteProperties(bag);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("bar.json"));
    QString error;
    QVERIFY2(bag.save(path, &error), qPrintable(error));

    JsonPropertyBag loaded;
    QVERIFY2(loaded.load(path, &error), qPrintable(error));
    ProgressBar copy;
    copy.ReadProperties(loaded);
    for (const char *name : {"Max", "Min", "Value", "RoundedValue", "Enabled", "Theme",
                             "TextStyle", "Orientations", "Text", "TextEffectColor",
                             "TextEffect", "TextAlignment", "TextForeColor",
                             "PBSCustomeColor1", "PBSCustomeColor2"})
        QCOMPARE(copy.property(name), bar.property(name));
    QCOMPARE(copy.TextFont().families(), font.families());
    QCOMPARE(copy.TextFont().pointSizeF(), 10.5);
    QVERIFY(copy.TextFont().italic());
    QCOMPARE(copy.TextFont().weight(), QFont::Bold);
    // The font is kept readable, its family by name.
    QVERIFY(bag.toJson().contains("\"name\": \"宋体\""));
}

void TestProgressProperties::loadBag_data()
{
    QTest::addColumn<QString>("source");     // a path, or JSON text
    QTest::addColumn<QString>("objectName"); // the bar's object name in its window
    QTest::addColumn<bool>("initFirst");     // placed with InitProperties before loading
    QTest::addColumn<QVariantMap>("expected");

    QTest::newRow("main window ProgressBar1")
        << QStringLiteral(TAVREL_SOURCE_DIR "/client/ProgressBar1.bag.json")
        << "ProgressBar1" << false
        << QVariantMap{{"Max", 100}, {"Min", 0}, {"Value", 0}, {"TextStyle", 2},
                       {"Theme", 1}, {"Orientations", 1}, {"RoundedValue", 5},
                       {"Enabled", true}, {"TextAlignment", 5}, {"TextEffect", 5},
                       {"TextEffectColor", quint32(0xFFFFFF)}, {"TextForeColor", quint32(0)},
                       {"Text", "Velk ProgressBar"}, {"PBSCustomeColor1", quint32(0)},
                       {"PBSCustomeColor2", quint32(0)}};
    QTest::newRow("main window ProgressBar1 from the resource")
        << ":/ProgressBar1.bag.json" << "ProgressBar1" << false
        << QVariantMap{{"Max", 100}, {"Min", 0}, {"Value", 0}, {"TextStyle", 2},
                       {"Theme", 1}, {"TextEffect", 5}, {"Text", "Velk ProgressBar"}};
    QTest::newRow("empty bag gives read defaults and the display name")
        << "{}" << "ProgressBar1" << false
        << QVariantMap{{"Max", 100}, {"Min", 0}, {"Value", 50}, {"TextStyle", 1},
                       {"TextEffect", 1}, {"TextEffectColor", quint32(0xC8C8C8)},
                       {"Text", "ProgressBar1"}, {"Enabled", true}};
    QTest::newRow("stored value above stored max is lowered")
        << R"({"value": 70, "max": 40})" << "b" << false
        << QVariantMap{{"Max", 40}, {"Value", 40}};
    QTest::newRow("stored min above max is held below it")
        << R"({"max": 10, "min": 30, "value": 2})" << "b" << false
        << QVariantMap{{"Max", 10}, {"Min", 9}, {"Value", 9}};
    QTest::newRow("keys in any case")
        << R"({"THEME": 8, "TextStyle": 3, "tExT": "abc"})" << "b" << false
        << QVariantMap{{"Theme", 8}, {"TextStyle", 3}, {"Text", "abc"}};
    QTest::newRow("unreadable max keeps current, reading goes on")
        << R"({"max": "lots", "value": 70})" << "b" << true
        << QVariantMap{{"Max", 100}, {"Value", 70}};
    QTest::newRow("fractional value is unreadable")
        << R"({"value": 12.5, "theme": 4})" << "b" << true
        << QVariantMap{{"Value", 50}, {"Theme", 4}};
    QTest::newRow("value beyond 32 bits is unreadable")
        << R"({"value": 1e12, "theme": 4})" << "b" << true
        << QVariantMap{{"Value", 50}, {"Theme", 4}};
    QTest::newRow("null, object and array are unreadable")
        << R"({"theme": null, "text": {"a": 1}, "textstyle": [1], "textalignment": 2})"
        << "b" << true
        << QVariantMap{{"Theme", 1}, {"Text", "Velk ProgressBar"}, {"TextStyle", 3},
                       {"TextAlignment", 2}};
    QTest::newRow("numeric text converts")
        << R"({"max": " 250 ", "enabled": 0, "texteffectcolor": -1})" << "b" << true
        << QVariantMap{{"Max", 250}, {"Enabled", false}, {"TextEffectColor", quint32(0xFFFFFFFF)}};
    QTest::newRow("font sized in pixels")
        << R"({"textfont": {"name": "WenQuanYi Micro Hei", "pixelsize": 20}, "theme": 2})" << "b" << true
        << QVariantMap{{"TextFont", QVariant::fromValue([] { QFont f; f.setFamilies({"WenQuanYi Micro Hei"}); f.setPixelSize(20); return f; }())}, {"Theme", 2}};
    QTest::newRow("unreadable enabled and colour")
        << R"({"enabled": "perhaps", "textforecolor": 5e10, "pbscustomecolor1": 255})" << "b" << true
        << QVariantMap{{"Enabled", true}, {"TextForeColor", quint32(0)},
                       {"PBSCustomeColor1", quint32(255)}};
}

void TestProgressProperties::loadBag()
{
    QFETCH(QString, source);
    QFETCH(QString, objectName);
    QFETCH(bool, initFirst);
    QFETCH(QVariantMap, expected);

    JsonPropertyBag bag;
    QString error;
    if (source.startsWith(u'{'))
        QVERIFY2(bag.loadFromData(source.toUtf8(), &error), qPrintable(error));
    else
        QVERIFY2(bag.load(source, &error), qPrintable(error));

    ProgressBar bar;
    bar.setObjectName(objectName);
    if (initFirst)
        bar.InitProperties();
    bar.ReadProperties(bag);
    for (auto it = expected.begin(); it != expected.end(); ++it) {
        const QVariant actual = bar.property(it.key().toLatin1().constData());
        QVERIFY2(actual == it.value(),
                 qPrintable(it.key() + ": " + actual.toString() + " != " + it.value().toString()));
    }
}

void TestProgressProperties::unreadableFontKeepsCurrent_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::newRow("no family") << QByteArray(R"({"textfont": {"size": 9}, "theme": 2})");
    QTest::newRow("empty family") << QByteArray(R"({"textfont": {"name": ""}, "theme": 2})");
    QTest::newRow("negative size") << QByteArray(R"({"textfont": {"name": "x", "size": -3}, "theme": 2})");
    QTest::newRow("weight as text") << QByteArray(R"({"textfont": {"name": "x", "weight": "bold"}, "theme": 2})");
    QTest::newRow("italic as number") << QByteArray(R"({"textfont": {"name": "x", "italic": 1}, "theme": 2})");
    QTest::newRow("fallback not text") << QByteArray(R"({"textfont": {"name": "x", "fallback": [3]}, "theme": 2})");
    QTest::newRow("font as a number") << QByteArray(R"({"textfont": 9, "theme": 2})");
}

void TestProgressProperties::unreadableFontKeepsCurrent()
{
    QFETCH(QByteArray, json);
    JsonPropertyBag bag;
    QVERIFY(bag.loadFromData(json));
    ProgressBar bar;
    bar.InitProperties();
    const QFont current(QStringLiteral("DejaVu Sans"), 17);
    bar.setTextFont(current);
    bar.ReadProperties(bag);
    QCOMPARE(bar.TextFont(), current);
    QCOMPARE(bar.Theme(), 2);
}

void TestProgressProperties::mainWindowFontHasLinuxFallback()
{
    JsonPropertyBag bag;
    QString error;
    QVERIFY2(bag.load(QStringLiteral(TAVREL_SOURCE_DIR "/client/ProgressBar1.bag.json"), &error),
             qPrintable(error));
    QStringList keys = bag.object().keys();
    keys.sort();
    QCOMPARE(keys, (QStringList{"_extentx", "_extenty", "text", "texteffect", "texteffectcolor",
                                "textfont", "textstyle", "value"}));

    ProgressBar bar;
    bar.ReadProperties(bag);
    const QFont font = bar.TextFont();
    QCOMPARE(font.families().value(0), QStringLiteral("宋体"));
    QCOMPARE(font.pointSizeF(), 9.0);
    QCOMPARE(font.weight(), QFont::Normal);
    QVERIFY(!font.italic() && !font.underline() && !font.strikeOut() && !font.bold());
    if (!QFontDatabase::families().contains(QStringLiteral("WenQuanYi Micro Hei")))
        QSKIP("the CJK font package is not installed");
    // Without 宋体 on the machine, the caption still comes out in a font with the glyphs.
    QVERIFY(QFontMetrics(font).inFont(QChar(0x4E0B)));
}

void TestProgressProperties::readAndWriteOrder()
{
    ProgressBar bar;
    bar.InitProperties();
    RecordingBag bag;
    bar.WriteProperties(bag);
    QCOMPARE(bag.writes,
             (QStringList{"orientations", "max", "min", "value", "roundedvalue", "enabled",
                          "theme", "textstyle", "textfont", "textforecolor", "textalignment",
                          "text", "texteffectcolor", "texteffect", "pbscustomecolor2",
                          "pbscustomecolor1"}));

    ProgressBar loaded;
    QSignalSpy spy(&loaded, &ProgressBar::PropertyChanged);
    loaded.ReadProperties(bag);
    const QStringList readOrder{"max", "min", "value", "roundedvalue", "enabled", "theme",
                                "textstyle", "orientations", "text", "texteffectcolor",
                                "texteffect", "textalignment", "textfont", "textforecolor",
                                "pbscustomecolor2", "pbscustomecolor1"};
    QCOMPARE(bag.reads, readOrder);
    // Each key goes through its setter, so the notifications follow the read order too.
    QStringList notified = namesOf(spy);
    for (QString &n : notified)
        n = n.toLower();
    QCOMPARE(notified, readOrder);
}

void TestProgressProperties::badFiles_data()
{
    QTest::addColumn<QByteArray>("content"); // null: no file at all
    QTest::newRow("missing file") << QByteArray();
    QTest::newRow("empty file") << QByteArray("");
    QTest::newRow("not JSON") << QByteArray("max = 3");
    QTest::newRow("truncated") << QByteArray(R"({"max": 3, "value")");
    QTest::newRow("an array") << QByteArray("[1, 2]");
}

void TestProgressProperties::badFiles()
{
    QFETCH(QByteArray, content);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("bag.json"));
    if (!content.isNull()) {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(content);
    }
    JsonPropertyBag bag;
    QVERIFY(bag.loadFromData(R"({"theme": 7})"));
    QString error;
    QVERIFY(!bag.load(path, &error));
    QVERIFY(error.contains(path));
    // A failed load loses nothing the bag held.
    QCOMPARE(bag.readLong(QStringLiteral("Theme"), 1), std::optional<qint32>(7));
}

void TestProgressProperties::saveFailureKeepsOldFile()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("bag.json"));
    JsonPropertyBag bag;
    QVERIFY(bag.loadFromData(R"({"theme": 7})"));
    QVERIFY(bag.save(path));

    JsonPropertyBag other;
    QVERIFY(other.loadFromData(R"({"theme": 2})"));
    QString error;
    QVERIFY(!other.save(dir.filePath(QStringLiteral("no/such/folder/bag.json")), &error));
    QVERIFY(!error.isEmpty());

    JsonPropertyBag reread;
    QVERIFY(reread.load(path));
    QCOMPARE(reread.readLong(QStringLiteral("theme"), 1), std::optional<qint32>(7));
}

QTEST_MAIN(TestProgressProperties)
#include "tst_progress_properties.moc"
