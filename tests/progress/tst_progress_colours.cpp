#include "progress/Colour.h"
#include "progress/ProgressBar.h"

#include <QPainter>
#include <QTest>

#include <stdexcept>

using namespace tavrel;

namespace {

constexpr QRgb kSentinel = 0x123456;

QImage blank(int w, int h)
{
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(kSentinel);
    return img;
}

// The pixel as a 0x00BBGGRR colour.
quint32 colourAt(const QImage &img, int x, int y)
{
    const QRgb p = img.pixel(x, y);
    return MakeColour(qRed(p), qGreen(p), qBlue(p));
}

bool untouched(const QImage &img)
{
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            if ((img.pixel(x, y) & 0xFFFFFF) != kSentinel)
                return false;
    return true;
}

} // namespace

class TestProgressColours : public QObject
{
    Q_OBJECT

private slots:
    void greyOf_data();
    void greyOf();
    void shiftColour_data();
    void shiftColour();
    void customTheme();
    void otherThemeKeepsPalette();
    void gradientStep();
    void interpolateColours_data();
    void interpolateColours();
    void toColour16();
    void gradientTwoColour_data();
    void gradientTwoColour();
    void gradientTwoColourDrawsNothing_data();
    void gradientTwoColourDrawsNothing();
    void fourColour_data();
    void fourColour();
    void fourColourFailures_data();
    void fourColourFailures();
    void percentText_data();
    void percentText();
};

void TestProgressColours::greyOf_data()
{
    QTest::addColumn<quint32>("colour");
    QTest::addColumn<quint32>("grey");
    QTest::newRow("effect default rounds up") << 0xC8C8C8u << 0xC9C9C9u;
    QTest::newRow("green quotient 255.5 goes to 256") << 0x80FF80u << 0xABABABu;
    QTest::newRow("white caps at 255") << 0xFFFFFFu << 0xFFFFFFu;
    QTest::newRow("black") << 0u << 0u;
    QTest::newRow("pure red") << 0x0000FFu << 0x555555u;
    QTest::newRow("mid grey stays") << 0x808080u << 0x808080u;
    QTest::newRow("sand track") << 0xB6D7E2u << 0xD0D0D0u;
}

void TestProgressColours::greyOf()
{
    QFETCH(quint32, colour);
    QTEST(GreyOf(colour), "grey");
}

void TestProgressColours::shiftColour_data()
{
    QTest::addColumn<quint32>("colour");
    QTest::addColumn<int>("amount");
    QTest::addColumn<quint32>("shifted");
    QTest::newRow("red by 180") << 0x0000FFu << 180 << 0xB4B4FFu;
    QTest::newRow("red by 50") << 0x0000FFu << 50 << 0x3232FFu;
    QTest::newRow("black by 80") << 0u << 80 << 0x505050u;
    QTest::newRow("each component") << 0x102030u << 80 << 0x607080u;
    QTest::newRow("white stays capped") << 0xFFFFFFu << 1 << 0xFFFFFFu;
}

void TestProgressColours::shiftColour()
{
    QFETCH(quint32, colour);
    QFETCH(int, amount);
    QTEST(ShiftColour(colour, amount), "shifted");
}

void TestProgressColours::customTheme()
{
    DrawingPalette p{};
    LoadThemePalette(p, 10, 0x0000FF, 0);
    QCOMPARE(p[Fill1Start], MakeColour(255, 180, 180));
    QCOMPARE(p[Fill1End], MakeColour(255, 50, 50));
    QCOMPARE(p[Fill2Start], MakeColour(255, 0, 0));
    QCOMPARE(p[Fill2End], MakeColour(255, 80, 80));
    QCOMPARE(p[Border], MakeColour(255, 0, 0));
    QCOMPARE(p[Track1Start], MakeColour(180, 180, 180));
    QCOMPARE(p[Track2Start], 0u);
    QCOMPARE(p[Track2End], MakeColour(80, 80, 80));
}

void TestProgressColours::otherThemeKeepsPalette()
{
    DrawingPalette p{};
    LoadThemePalette(p, 3, 0, 0);
    const DrawingPalette green = p;
    QCOMPARE(green[Border], MakeColour(62, 204, 74));
    for (int theme : {0, 11, -1})
        LoadThemePalette(p, theme, 0xFF, 0xFF);
    QCOMPARE(p, green);
}

void TestProgressColours::gradientStep()
{
    QCOMPARE(GradientStep(0, 5), 0.0f);
    QCOMPARE(GradientStep(5, 0), 0.0f);
    QCOMPARE(GradientStep(255, 2), 127.5f);
    QCOMPARE(GradientStep(-255, 2), -127.5f);
    QCOMPARE(GradientStep(1, 3), float(1.0 / 3.0));
}

void TestProgressColours::interpolateColours_data()
{
    QTest::addColumn<int>("steps");
    QTest::addColumn<quint32>("from");
    QTest::addColumn<quint32>("to");
    QTest::addColumn<int>("index");
    QTest::addColumn<quint32>("expected");
    QTest::newRow("entry 0 is the start") << 7 << 0x102030u << 0xFFFFFFu << 0 << 0x102030u;
    QTest::newRow("last entry is the end") << 7 << 0x102030u << 0xFFFFFFu << 7 << 0xFFFFFFu;
    QTest::newRow("127.5 goes to the even 128") << 2 << 0u << 0xFFFFFFu << 1 << 0x808080u;
    QTest::newRow("falling 127.5 goes to 128") << 2 << 0xFFFFFFu << 0u << 1 << 0x808080u;
    // 1/6 in single precision is a little above it, so 3 steps pass the half and round up;
    // in double precision they would land on 0.5 and round to 0.
    QTest::newRow("single precision step") << 6 << 0u << 0x010101u << 3 << 0x010101u;
    QTest::newRow("zero steps") << 0 << 0x0A0B0Cu << 0xFFFFFFu << 0 << 0x0A0B0Cu;
}

void TestProgressColours::interpolateColours()
{
    QFETCH(int, steps);
    QFETCH(quint32, from);
    QFETCH(quint32, to);
    QFETCH(int, index);
    QFETCH(quint32, expected);
    const auto entries = InterpolateColours(steps, ToRgbTriple(from), ToRgbTriple(to));
    QCOMPARE(int(entries.size()), steps + 1);
    QCOMPARE(entries[size_t(index)], ToRgbTriple(expected));
}

void TestProgressColours::toColour16()
{
    QCOMPARE(ToColour16(255), quint16(0xFF00));
    QCOMPARE(ToColour16(0), quint16(0));
    QCOMPARE(qint16(ToColour16(128)), qint16(-32768));
}

void TestProgressColours::gradientTwoColour_data()
{
    QTest::addColumn<int>("direction");
    QTest::addColumn<quint32>("start");
    QTest::addColumn<quint32>("end");
    QTest::addColumn<QRect>("edges"); // left, top, right, bottom as x, y, width, height slots
    QTest::addColumn<QList<QPoint>>("startPixels");
    QTest::addColumn<QList<QPoint>>("outside");

    QTest::newRow("horizontal red to blue") << 0 << 0x0000FFu << 0xFF0000u << QRect(2, 1, 12, 5)
        << QList<QPoint>{{2, 1}, {2, 4}} << QList<QPoint>{{12, 1}, {1, 1}, {2, 0}, {2, 5}};
    QTest::newRow("vertical white to black") << 1 << 0xFFFFFFu << 0u << QRect(0, 3, 16, 13)
        << QList<QPoint>{{0, 3}, {15, 3}} << QList<QPoint>{{0, 2}, {0, 13}, {16, 3}};
    QTest::newRow("one column") << 0 << 0x00FF00u << 0xFFFFFFu << QRect(5, 5, 6, 6)
        << QList<QPoint>{{5, 5}} << QList<QPoint>{{6, 5}, {5, 6}};
    QTest::newRow("partly off the surface") << 0 << 0x0000FFu << 0xFF0000u << QRect(-5, -5, 30, 30)
        << QList<QPoint>{} << QList<QPoint>{};
}

void TestProgressColours::gradientTwoColour()
{
    QFETCH(int, direction);
    QFETCH(quint32, start);
    QFETCH(quint32, end);
    QFETCH(QRect, edges);
    QFETCH(QList<QPoint>, startPixels);
    QFETCH(QList<QPoint>, outside);
    const int left = edges.x(), top = edges.y(), right = edges.width(), bottom = edges.height();

    QImage img = blank(20, 20);
    {
        QPainter p(&img);
        ProgressBar::GradientTwoColour(p, direction, start, end, left, top, right, bottom);
    }
    for (const QPoint &pt : startPixels)
        QCOMPARE(colourAt(img, pt.x(), pt.y()), start);
    for (const QPoint &pt : outside)
        QCOMPARE(img.pixel(pt) & 0xFFFFFF, kSentinel);

    // Along the gradient every component moves steadily from start towards end and the last
    // line stops short of the end colour by about one step.
    const int n = direction == 0 ? right - left : bottom - top;
    const int x0 = std::max(left, 0), y0 = std::max(top, 0);
    quint32 previous = colourAt(img, x0, y0);
    const int from = direction == 0 ? x0 : y0;
    const int to = std::min(direction == 0 ? right : bottom, 20);
    for (int i = from + 1; i < to; ++i) {
        const quint32 c = direction == 0 ? colourAt(img, i, y0) : colourAt(img, x0, i);
        for (auto of : {RedOf, GreenOf, BlueOf}) {
            const int s = of(start), e = of(end);
            const int moved = of(c) - of(previous);
            QVERIFY2(e >= s ? moved >= 0 : moved <= 0, "colour runs the wrong way");
            const double expected = s + double(e - s) * (i - (direction == 0 ? left : top)) / n;
            QVERIFY(std::abs(of(c) - expected) <= 0.5);
        }
        previous = c;
    }
}

void TestProgressColours::gradientTwoColourDrawsNothing_data()
{
    QTest::addColumn<int>("direction");
    QTest::addColumn<QRect>("edges");
    QTest::newRow("right equals left") << 0 << QRect(5, 0, 5, 10);
    QTest::newRow("right before left, not reordered") << 0 << QRect(10, 0, 2, 10);
    QTest::newRow("bottom before top") << 1 << QRect(0, 10, 10, 2);
    QTest::newRow("bottom equals top") << 1 << QRect(0, 4, 10, 4);
    QTest::newRow("direction 2") << 2 << QRect(0, 0, 10, 10);
    QTest::newRow("direction -1") << -1 << QRect(0, 0, 10, 10);
    QTest::newRow("far off the surface") << 0 << QRect(1000000, 0, 2000000000, 10);
}

void TestProgressColours::gradientTwoColourDrawsNothing()
{
    QFETCH(int, direction);
    QFETCH(QRect, edges);
    QImage img = blank(20, 20);
    {
        QPainter p(&img);
        ProgressBar::GradientTwoColour(p, direction, 0xFFFFFF, 0, edges.x(), edges.y(),
                                       edges.width(), edges.height());
    }
    QVERIFY(untouched(img));
}

void TestProgressColours::fourColour_data()
{
    QTest::addColumn<QRect>("rect");
    QTest::addColumn<QList<quint32>>("corners"); // top-left, top-right, bottom-left, bottom-right
    QTest::addColumn<QPoint>("probe");
    QTest::addColumn<quint32>("expected");

    QTest::newRow("one pixel in the top-left colour") << QRect(3, 4, 1, 1)
        << QList<quint32>{0x0000FF, 0xFF0000, 0x00FF00, 0xFFFFFF} << QPoint(3, 4) << 0x0000FFu;
    QTest::newRow("pixel left of one pixel untouched") << QRect(3, 4, 1, 1)
        << QList<quint32>{0x0000FF, 0xFF0000, 0x00FF00, 0xFFFFFF} << QPoint(2, 4) << 0x563412u;
    QTest::newRow("uniform, first") << QRect(0, 0, 7, 5)
        << QList<quint32>{0x336699, 0x336699, 0x336699, 0x336699} << QPoint(0, 0) << 0x336699u;
    QTest::newRow("uniform, last") << QRect(0, 0, 7, 5)
        << QList<quint32>{0x336699, 0x336699, 0x336699, 0x336699} << QPoint(6, 4) << 0x336699u;
    QTest::newRow("row 1 of black to white is 128") << QRect(0, 0, 1, 2)
        << QList<quint32>{0, 0, 0xFFFFFF, 0xFFFFFF} << QPoint(0, 1) << 0x808080u;
    QTest::newRow("last column stops a step short") << QRect(0, 0, 2, 1)
        << QList<quint32>{0, 0xFFFFFF, 0, 0xFFFFFF} << QPoint(1, 0) << 0x808080u;
    QTest::newRow("bottom-right mixes both edges") << QRect(1, 1, 2, 2)
        << QList<quint32>{0, 0x0000FF, 0xFF0000, 0xFFFFFF} << QPoint(2, 2) << 0x804080u;
    QTest::newRow("no rows below the rectangle") << QRect(0, 0, 3, 2)
        << QList<quint32>{0, 0, 0, 0} << QPoint(0, 2) << 0x563412u;
    QTest::newRow("height 0 draws nothing") << QRect(0, 0, 3, 0)
        << QList<quint32>{0, 0, 0, 0} << QPoint(0, 0) << 0x563412u;
}

void TestProgressColours::fourColour()
{
    QFETCH(QRect, rect);
    QFETCH(QList<quint32>, corners);
    QFETCH(QPoint, probe);
    QImage img = blank(10, 10);
    {
        QPainter p(&img);
        ProgressBar::DrawGradientFourColour(p, rect.x(), rect.y(), rect.width(), rect.height(),
                                            corners[0], corners[1], corners[2], corners[3]);
    }
    QTEST(colourAt(img, probe.x(), probe.y()), "expected");
}

void TestProgressColours::fourColourFailures_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::newRow("negative height") << 5 << -1;
    QTest::newRow("width 0") << 0 << 3;
    QTest::newRow("negative width") << -4 << 3;
    QTest::newRow("width 0 and height 0") << 0 << 0;
}

void TestProgressColours::fourColourFailures()
{
    QFETCH(int, width);
    QFETCH(int, height);
    QImage img = blank(10, 10);
    QPainter p(&img);
    QVERIFY_THROWS_EXCEPTION(std::out_of_range,
                             ProgressBar::DrawGradientFourColour(p, 0, 0, width, height, 0xFF,
                                                                 0xFF, 0xFF, 0xFF));
    p.end();
    QVERIFY(untouched(img));
}

void TestProgressColours::percentText_data()
{
    QTest::addColumn<double>("percent");
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("text");
    QTest::newRow("whole") << 50.0 << "C" << "50";
    QTest::newRow("hundred") << 100.0 << "C" << "100";
    QTest::newRow("zero") << 0.0 << "C" << "0";
    QTest::newRow("a third, 15 digits") << 100.0 / 3 << "C" << "33.3333333333333";
    QTest::newRow("no trailing zeros") << 12.5 << "C" << "12.5";
    QTest::newRow("comma locale") << 100.0 / 3 << "de_DE" << "33,3333333333333";
    QTest::newRow("two thirds rounds the last digit") << 200.0 / 3 << "C" << "66.6666666666667";
}

void TestProgressColours::percentText()
{
    QFETCH(double, percent);
    QFETCH(QString, locale);
    QTEST(ProgressBar::PercentText(percent, QLocale(locale)), "text");
}

QTEST_MAIN(TestProgressColours)
#include "tst_progress_colours.moc"
