#include "progress/ProgressBar.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QPainter>
#include <QTest>

using namespace tavrel;

namespace {

constexpr quint32 kBackground = 0xFF00FF; // magenta, seen nowhere in the themes

quint32 colourAt(const QImage &img, int x, int y)
{
    const QRgb p = img.pixel(x, y);
    return MakeColour(qRed(p), qGreen(p), qBlue(p));
}

quint32 rgb(int r, int g, int b)
{
    return MakeColour(r, g, b);
}

// A bar with no caption, on a magenta background.
void setUp(ProgressBar &bar, int w, int h)
{
    QPalette pal = bar.palette();
    pal.setColor(bar.backgroundRole(), QColor(0xFF, 0x00, 0xFF));
    bar.setPalette(pal);
    bar.resize(w, h);
    bar.InitProperties();
    bar.setTextStyle(0);
}

// Sand theme colours.
const quint32 kTrack1 = rgb(248, 246, 242);
const quint32 kTrack2 = rgb(226, 215, 182);
const quint32 kFill1 = rgb(251, 244, 223);
const quint32 kFill2 = rgb(203, 166, 57);
const quint32 kBorder = rgb(204, 168, 62);

} // namespace

class TestProgressPainting : public QObject
{
    Q_OBJECT

private slots:
    void themeColours_data();
    void themeColours();
    void halfSplit_data();
    void halfSplit();
    void fillLength_data();
    void fillLength();
    void outlineInsideRegion();
    void noTrackForOtherOrientations();
    void disabledGrey();
    void degenerateBars_data();
    void degenerateBars();
    void regionCorners_data();
    void regionCorners();
    void cornersShowTheParent();
    void lastPictureOnScreen();
    void captionPlacement_data();
    void captionPlacement();
    void captionEffects_data();
    void captionEffects();
    void captionText_data();
    void captionText();
    void disabledCaption();

private:
    bool haveTestFont() const
    {
        return QFontInfo(testFont()).family() == QStringLiteral("WenQuanYi Micro Hei");
    }
    QFont testFont() const;
    QPoint glyphOffset(const QString &text) const;
};

void TestProgressPainting::themeColours_data()
{
    QTest::addColumn<int>("theme");
    QTest::addColumn<int>("previousTheme"); // -1: a fresh bar that never had properties set
    QTest::addColumn<quint32>("custom1");
    QTest::addColumn<int>("orientation");
    QTest::addColumn<QList<quint32>>("expected"); // track 1, track 2, fill 1, fill 2, border

    const QList<quint32> sand{kTrack1, kTrack2, kFill1, kFill2, kBorder};
    QTest::newRow("sand, horizontal") << 1 << 1 << 0u << 1 << sand;
    QTest::newRow("sand, vertical") << 1 << 1 << 0u << 2 << sand;
    QTest::newRow("sky") << 8 << 1 << 0u << 1
        << QList<quint32>{rgb(250, 253, 254), rgb(199, 230, 249), rgb(225, 247, 255),
                          rgb(63, 112, 233), rgb(23, 139, 211)};
    QTest::newRow("lime, vertical") << 9 << 1 << 0u << 2
        << QList<quint32>{rgb(231, 243, 232), rgb(179, 189, 179), rgb(223, 251, 223),
                          rgb(26, 228, 26), rgb(188, 184, 188)};
    QTest::newRow("custom red") << 10 << 1 << 0x0000FFu << 1
        << QList<quint32>{rgb(180, 180, 180), 0u, rgb(255, 180, 180), rgb(255, 0, 0),
                          rgb(255, 0, 0)};
    QTest::newRow("theme 0 after green keeps green") << 0 << 3 << 0u << 1
        << QList<quint32>{rgb(242, 248, 243), rgb(182, 226, 186), rgb(223, 251, 225),
                          rgb(57, 203, 70), rgb(62, 204, 74)};
    QTest::newRow("theme 0 on a new bar is black") << 0 << -1 << 0u << 1
        << QList<quint32>{0u, 0u, 0u, 0u, 0u};
}

void TestProgressPainting::themeColours()
{
    QFETCH(int, theme);
    QFETCH(int, previousTheme);
    QFETCH(quint32, custom1);
    QFETCH(int, orientation);
    QFETCH(QList<quint32>, expected);

    const int W = orientation == 1 ? 100 : 28;
    const int H = orientation == 1 ? 28 : 100;
    ProgressBar bar;
    if (previousTheme < 0) {
        // Only what drawing needs, so the palette has never been loaded.
        bar.resize(W, H);
        bar.setMax(100);
        bar.setRoundedValue(5);
        bar.setBarEnabled(true);
        bar.setOrientations(orientation);
        bar.setValue(50);
    } else {
        setUp(bar, W, H);
        bar.setOrientations(orientation);
        bar.setValue(50);
        bar.setTheme(previousTheme);
    }
    bar.setPBSCustomeColor1(custom1);
    bar.setTheme(theme);

    const QImage &img = bar.picture();
    if (orientation == 1) {
        // The first row of each half: track on the right, fill on the left.
        QCOMPARE(colourAt(img, W - 1, 0), expected[0]);
        QCOMPARE(colourAt(img, W - 1, 14), expected[1]);
        QCOMPARE(colourAt(img, 0, 0), expected[2]);
        QCOMPARE(colourAt(img, 1, 14), expected[3]);
        QCOMPARE(colourAt(img, W / 2, 0), expected[4]);
    } else {
        // The first column of each half: track below, fill above.
        QCOMPARE(colourAt(img, 0, H - 1), expected[0]);
        QCOMPARE(colourAt(img, 14, H - 1), expected[1]);
        QCOMPARE(colourAt(img, 0, 0), expected[2]);
        QCOMPARE(colourAt(img, 14, 1), expected[3]);
        QCOMPARE(colourAt(img, 0, H / 2), expected[4]);
    }
}

void TestProgressPainting::halfSplit_data()
{
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("split");
    QTest::newRow("27 splits at 14 (13.5 to even)") << 27 << 14;
    QTest::newRow("28 splits at 14") << 28 << 14;
    QTest::newRow("29 splits at 14 (14.5 to even)") << 29 << 14;
    QTest::newRow("31 splits at 16 (15.5 to even)") << 31 << 16;
}

void TestProgressPainting::halfSplit()
{
    QFETCH(int, height);
    QFETCH(int, split);
    ProgressBar bar;
    setUp(bar, 100, height);
    bar.setValue(0);
    const QImage &img = bar.picture();
    QVERIFY(colourAt(img, 99, split - 1) != kTrack2);
    QCOMPARE(colourAt(img, 99, split), kTrack2);
}

void TestProgressPainting::fillLength_data()
{
    QTest::addColumn<int>("orientation");
    QTest::addColumn<int>("length"); // along the bar
    QTest::addColumn<int>("min");
    QTest::addColumn<int>("max");
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("filled"); // expected fill length in pixels

    QTest::newRow("value 0, no fill") << 1 << 100 << 0 << 100 << 0 << 0;
    QTest::newRow("value 1 of 1000 rounds to nothing") << 1 << 100 << 0 << 1000 << 1 << 0;
    QTest::newRow("min does not move the fill") << 1 << 100 << 50 << 100 << 50 << 50;
    QTest::newRow("a third of 238") << 1 << 238 << 0 << 3 << 1 << 79;
    QTest::newRow("62.5 goes to 62") << 1 << 100 << 0 << 8 << 5 << 62;
    QTest::newRow("87.5 goes to 88") << 1 << 100 << 0 << 8 << 7 << 88;
    QTest::newRow("full") << 1 << 100 << 0 << 100 << 100 << 100;
    QTest::newRow("vertical, from the top") << 2 << 100 << 0 << 100 << 30 << 30;
    QTest::newRow("vertical 62.5 goes to 62") << 2 << 100 << 0 << 8 << 5 << 62;
    QTest::newRow("vertical full") << 2 << 100 << 0 << 100 << 100 << 100;
}

void TestProgressPainting::fillLength()
{
    QFETCH(int, orientation);
    QFETCH(int, length);
    QFETCH(int, min);
    QFETCH(int, max);
    QFETCH(int, value);
    QFETCH(int, filled);

    ProgressBar bar;
    if (orientation == 1)
        setUp(bar, length, 28);
    else
        setUp(bar, 28, length);
    bar.setOrientations(orientation);
    bar.setMax(max);
    bar.setMin(min);
    bar.setValue(value);
    const QImage &img = bar.picture();
    // Half 2 starts at row (or column) 14 with the plain start colours.
    const auto at = [&](int along) {
        return orientation == 1 ? colourAt(img, along, 14) : colourAt(img, 14, along);
    };
    if (filled >= 2)
        QCOMPARE(at(filled - 1), kFill2);
    if (filled < length)
        QCOMPARE(at(std::max(filled, 1)), kTrack2);
}

void TestProgressPainting::outlineInsideRegion()
{
    ProgressBar bar;
    setUp(bar, 100, 28);
    bar.setValue(0);
    const QImage &img = bar.picture();
    QCOMPARE(colourAt(img, 50, 0), kBorder);
    QCOMPARE(colourAt(img, 0, 14), kBorder);
    QCOMPARE(colourAt(img, 98, 14), kBorder);
    QCOMPARE(colourAt(img, 50, 26), kBorder);
    // The last column and row of the region are left to the track.
    QCOMPARE(colourAt(img, 99, 14), kTrack2);
    QVERIFY(colourAt(img, 50, 27) != kBorder);
    QVERIFY(colourAt(img, 97, 14) != kBorder);
}

void TestProgressPainting::noTrackForOtherOrientations()
{
    for (int orientation : {0, 3, -1}) {
        ProgressBar bar;
        setUp(bar, 100, 28);
        bar.setOrientations(orientation);
        const QImage &img = bar.picture();
        QCOMPARE(colourAt(img, 99, 0), kBackground);
        QCOMPARE(colourAt(img, 99, 14), kBackground);
        QCOMPARE(colourAt(img, 1, 14), kBackground);
        QCOMPARE(colourAt(img, 50, 0), kBorder);
    }
}

void TestProgressPainting::disabledGrey()
{
    ProgressBar bar;
    setUp(bar, 100, 28);
    bar.setBarEnabled(false);
    const QImage &img = bar.picture();
    QCOMPARE(colourAt(img, 99, 14), GreyOf(kTrack2));
    QCOMPARE(colourAt(img, 1, 14), GreyOf(kFill2));
    QCOMPARE(colourAt(img, 50, 0), GreyOf(kBorder));
    bar.setBarEnabled(true);
    QCOMPARE(colourAt(img, 99, 14), kTrack2);
}

void TestProgressPainting::degenerateBars_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<bool>("placed"); // InitProperties ran
    QTest::addColumn<int>("style");
    QTest::newRow("new bar, Max still 0, percent caption") << QSize(50, 20) << false << 2;
    QTest::newRow("no width") << QSize(0, 20) << true << 2;
    QTest::newRow("no height") << QSize(50, 0) << true << 1;
    QTest::newRow("one pixel") << QSize(1, 1) << true << 3;
    QTest::newRow("two by two") << QSize(2, 2) << true << 3;
}

void TestProgressPainting::degenerateBars()
{
    QFETCH(QSize, size);
    QFETCH(bool, placed);
    QFETCH(int, style);
    QWidget parent;
    ProgressBar bar(&parent);
    bar.resize(size);
    if (placed)
        bar.InitProperties();
    // Every setter repaints; none of these may fail or leave a picture of the wrong size.
    bar.setTextStyle(style);
    bar.setValue(1);
    bar.Resize();
    QCOMPARE(bar.picture().isNull(), size.isEmpty());
    if (!size.isEmpty())
        QCOMPARE(bar.picture().size(), size);
    if (!placed) {
        // Before any Max the fraction cannot be formed; the bar shows an empty track.
        QCOMPARE(bar.Value(), 0);
        QCOMPARE(bar.drawingPalette(), DrawingPalette{});
    }
}

void TestProgressPainting::regionCorners_data()
{
    QTest::addColumn<int>("rounding");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<bool>("cornersCut");
    QTest::newRow("rounded 5") << 5 << QSize(238, 28) << true;
    QTest::newRow("rounded 12") << 12 << QSize(60, 40) << true;
    QTest::newRow("square") << 0 << QSize(238, 28) << false;
    QTest::newRow("negative is square") << -8 << QSize(50, 20) << false;
}

void TestProgressPainting::regionCorners()
{
    QFETCH(int, rounding);
    QFETCH(QSize, size);
    QFETCH(bool, cornersCut);
    ProgressBar bar;
    setUp(bar, 10, 10);
    bar.setRoundedValue(rounding);
    bar.resize(size);
    bar.Resize(); // the resize hook: a hidden widget gets no resize event until shown
    const QRegion region = bar.mask();
    const int W = size.width(), H = size.height();
    for (const QPoint &corner : {QPoint(0, 0), QPoint(W - 1, 0), QPoint(0, H - 1), QPoint(W - 1, H - 1)})
        QCOMPARE(region.contains(corner), !cornersCut);
    for (const QPoint &inside : {QPoint(W / 2, 0), QPoint(0, H / 2), QPoint(W - 1, H / 2),
                                 QPoint(W / 2, H - 1), QPoint(W / 2, H / 2)})
        QVERIFY(region.contains(inside));
    QVERIFY(!region.contains(QPoint(W, H / 2)));
}

void TestProgressPainting::cornersShowTheParent()
{
    QWidget parent;
    parent.resize(300, 60);
    QPalette pal = parent.palette();
    pal.setColor(QPalette::Window, QColor(0, 0, 255));
    parent.setPalette(pal);
    parent.setAutoFillBackground(true);
    ProgressBar bar(&parent);
    bar.move(10, 10);
    bar.resize(238, 28);
    bar.InitProperties();
    parent.show();
    QVERIFY(QTest::qWaitForWindowExposed(&parent));
    const QImage shot = parent.grab().toImage();
    const quint32 blue = rgb(0, 0, 255);
    QCOMPARE(colourAt(shot, 10, 10), blue);
    QCOMPARE(colourAt(shot, 10 + 237, 10 + 27), blue);
    QVERIFY(colourAt(shot, 10 + 119, 10 + 14) != blue);
}

void TestProgressPainting::lastPictureOnScreen()
{
    QWidget parent;
    ProgressBar bar(&parent);
    setUp(bar, 100, 28);
    bar.setValue(30);
    parent.show();
    QVERIFY(QTest::qWaitForWindowExposed(&parent));
    // Drawn at the screen's pixel density (a second run of this test asks for 2x), and the
    // platform's own repaint shows the kept picture pixel for pixel, not scaled up.
    const qreal dpr = bar.devicePixelRatioF();
    if (qEnvironmentVariableIsSet("QT_SCALE_FACTOR"))
        QCOMPARE(dpr, qEnvironmentVariable("QT_SCALE_FACTOR").toDouble());
    QCOMPARE(bar.picture().devicePixelRatio(), dpr);
    QCOMPARE(bar.picture().size(), bar.size() * dpr);
    const QImage shot = bar.grab().toImage().convertToFormat(QImage::Format_RGB32);
    QCOMPARE(shot.size(), bar.picture().size());
    QCOMPARE(shot, bar.picture());
}

QFont TestProgressPainting::testFont() const
{
    QFont f(QStringLiteral("WenQuanYi Micro Hei"));
    f.setPixelSize(20);
    f.setStyleStrategy(QFont::NoAntialias);
    return f;
}

// Where the glyph pixels of a text start, relative to the text's top-left corner.
QPoint TestProgressPainting::glyphOffset(const QString &text) const
{
    QImage img(200, 100, QImage::Format_RGB32);
    img.fill(Qt::white);
    QPainter p(&img);
    p.setFont(testFont());
    p.setPen(Qt::black);
    p.drawText(QPoint(50, 50 + QFontMetrics(testFont()).ascent()), text);
    p.end();
    QRect box;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            if ((img.pixel(x, y) & 0xFFFFFF) == 0)
                box |= QRect(x, y, 1, 1);
    return box.topLeft() - QPoint(50, 50);
}

namespace {

QRect boxOf(const QImage &img, quint32 colour)
{
    QRect box;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            if (colourAt(img, x, y) == colour)
                box |= QRect(x, y, 1, 1);
    return box;
}

constexpr quint32 kCaption = 0x0000FF; // red
constexpr quint32 kEffect = 0xFF0000;  // blue
constexpr quint32 kGrey = 0x808080;

// A 201 x 61 bar showing only its outline and the caption "H".
void setUpCaption(ProgressBar &bar, const QFont &font, int alignment, int effect)
{
    QPalette pal = bar.palette();
    pal.setColor(bar.backgroundRole(), Qt::white);
    bar.setPalette(pal);
    bar.resize(201, 61);
    bar.InitProperties();
    bar.setOrientations(0);
    bar.setTextFont(font);
    bar.setText(QStringLiteral("H"));
    bar.setTextForeColor(kCaption);
    bar.setTextEffectColor(kEffect);
    bar.setTextAlignment(alignment);
    bar.setTextEffect(effect);
}

} // namespace

void TestProgressPainting::captionPlacement_data()
{
    QTest::addColumn<int>("alignment");
    QTest::addColumn<QPoint>("origin"); // the text's top-left corner on the 201 x 61 bar

    // With the test font "H" is 14 pixels wide and the line 24 high (checked below):
    // centre x = 100.5 - 7 - 1 = 92.5 -> 92, right x = 201 - 14 - 3 = 184;
    // middle y = 30.5 - 12 - 1 = 17.5 -> 18, bottom y = 61 - 24 - 1 = 36.
    QTest::newRow("1 top left") << 1 << QPoint(1, 0);
    QTest::newRow("2 middle left") << 2 << QPoint(1, 18);
    QTest::newRow("3 bottom left") << 3 << QPoint(1, 36);
    QTest::newRow("4 top centre") << 4 << QPoint(92, 0);
    QTest::newRow("5 middle centre") << 5 << QPoint(92, 18);
    QTest::newRow("6 bottom centre") << 6 << QPoint(92, 36);
    QTest::newRow("7 top right") << 7 << QPoint(184, 0);
    QTest::newRow("8 middle right") << 8 << QPoint(184, 18);
    QTest::newRow("9 bottom right") << 9 << QPoint(184, 36);
    QTest::newRow("0 at the corner") << 0 << QPoint(0, 0);
    QTest::newRow("10 at the corner") << 10 << QPoint(0, 0);
}

void TestProgressPainting::captionPlacement()
{
    QFETCH(int, alignment);
    QFETCH(QPoint, origin);
    if (!haveTestFont())
        QSKIP("the test font is not installed");
    const QFontMetrics fm(testFont());
    QCOMPARE(fm.horizontalAdvance(QStringLiteral("H")), 14);
    QCOMPARE(fm.height(), 24);

    ProgressBar bar;
    setUpCaption(bar, testFont(), alignment, 1);
    const QRect glyphs = boxOf(bar.picture(), kCaption);
    QVERIFY(!glyphs.isEmpty());
    QCOMPARE(glyphs.topLeft() - glyphOffset(QStringLiteral("H")), origin);
}

void TestProgressPainting::captionEffects_data()
{
    QTest::addColumn<int>("effect");
    // Expected edges of the effect colour's and the grey's pixels, as offsets from the
    // caption's own box (left, top, right, bottom); an edge another pass may hide is given as
    // 99 and not checked. An empty list: that colour does not appear.
    QTest::addColumn<QList<int>>("effectEdges");
    QTest::addColumn<QList<int>>("greyEdges");
    QTest::addColumn<bool>("caption");

    QTest::newRow("1 none") << 1 << QList<int>{} << QList<int>{} << true;
    QTest::newRow("2 raised") << 2 << QList<int>{-1, -1, 99, 99} << QList<int>{99, 99, 1, 1} << true;
    QTest::newRow("3 sunken") << 3 << QList<int>{99, 99, 1, 1} << QList<int>{-1, 0, 99, 99} << true;
    QTest::newRow("4 outline") << 4 << QList<int>{-1, -1, 1, 1} << QList<int>{} << true;
    QTest::newRow("5 shadow") << 5 << QList<int>{99, 99, 1, 1} << QList<int>{} << true;
    QTest::newRow("0 draws nothing") << 0 << QList<int>{} << QList<int>{} << false;
    QTest::newRow("6 draws nothing") << 6 << QList<int>{} << QList<int>{} << false;
}

void TestProgressPainting::captionEffects()
{
    QFETCH(int, effect);
    if (!haveTestFont())
        QSKIP("the test font is not installed");
    QFETCH(QList<int>, effectEdges);
    QFETCH(QList<int>, greyEdges);
    QFETCH(bool, caption);

    ProgressBar bar;
    setUpCaption(bar, testFont(), 5, effect);
    const QImage &img = bar.picture();
    const QRect text = boxOf(img, kCaption);
    QCOMPARE(!text.isEmpty(), caption);

    const auto check = [&](quint32 colour, const QList<int> &edges) {
        const QRect box = boxOf(img, colour);
        if (edges.isEmpty()) {
            QVERIFY(box.isEmpty());
            return;
        }
        QVERIFY(!box.isEmpty());
        const int found[4] = {box.left() - text.left(), box.top() - text.top(),
                              box.right() - text.right(), box.bottom() - text.bottom()};
        for (int i = 0; i < 4; ++i)
            if (edges[i] != 99)
                QCOMPARE(found[i], edges[i]);
    };
    check(kEffect, effectEdges);
    check(kGrey, greyEdges);
}

void TestProgressPainting::captionText_data()
{
    QTest::addColumn<int>("style");
    QTest::addColumn<int>("max");
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("shown"); // empty: no caption

    QTest::newRow("1 value") << 1 << 100 << 42 << "42";
    QTest::newRow("2 percent") << 2 << 100 << 42 << "42%";
    QTest::newRow("2 percent of 3") << 2 << 3 << 1 << "33.3333333333333%";
    QTest::newRow("3 custom text") << 3 << 100 << 42 << "Velk";
    QTest::newRow("0 none") << 0 << 100 << 42 << "";
    QTest::newRow("4 none") << 4 << 100 << 42 << "";
}

void TestProgressPainting::captionText()
{
    QFETCH(int, style);
    if (!haveTestFont())
        QSKIP("the test font is not installed");
    QFETCH(int, max);
    QFETCH(int, value);
    QFETCH(QString, shown);

    QLocale::setDefault(QLocale::c());
    ProgressBar bar;
    setUpCaption(bar, testFont(), 1, 1);
    bar.resize(400, 40);
    bar.setText(QStringLiteral("Velk"));
    bar.setMax(max);
    bar.setValue(value);
    bar.setTextStyle(style);

    const QImage &img = bar.picture();
    const QRect box = boxOf(img, kCaption);
    if (shown.isEmpty()) {
        QVERIFY(box.isEmpty());
        return;
    }
    QVERIFY(!box.isEmpty());
    // Draw the expected text where the caption is and compare glyph for glyph.
    const QPoint origin(1, 0);
    QImage expected(img.size(), QImage::Format_RGB32);
    expected.fill(Qt::white);
    QPainter p(&expected);
    p.setFont(testFont());
    p.setPen(QColor(255, 0, 0));
    p.drawText(QPoint(origin.x(), origin.y() + QFontMetrics(testFont()).ascent()), shown);
    p.end();
    QCOMPARE(box, boxOf(expected, kCaption));
    for (int y = box.top(); y <= box.bottom(); ++y)
        for (int x = box.left(); x <= box.right(); ++x)
            QCOMPARE(colourAt(img, x, y) == kCaption, colourAt(expected, x, y) == kCaption);
}

void TestProgressPainting::disabledCaption()
{
    ProgressBar bar;
    setUpCaption(bar, testFont(), 5, 5);
    bar.setTextEffectColor(0xC8C8C8);
    bar.setTextForeColor(0x0000FF);
    bar.setBarEnabled(false);
    const QImage &img = bar.picture();
    QVERIFY(!boxOf(img, 0xC9C9C9).isEmpty());
    QVERIFY(boxOf(img, 0xC8C8C8).isEmpty());
    QVERIFY(!boxOf(img, GreyOf(0x0000FF)).isEmpty());
    QVERIFY(boxOf(img, 0x0000FF).isEmpty());

    // The grey passes of the raised effect stay 0x808080 on a disabled bar.
    bar.setTextEffect(2);
    QVERIFY(!boxOf(img, kGrey).isEmpty());
}

QTEST_MAIN(TestProgressPainting)
#include "tst_progress_painting.moc"
