#include "progress/ProgressBar.h"

#include "progress/ProgressBarAccessible.h"
#include "progress/PropertyBag.h"
#include "core/Rounding.h"

#include <QAccessible>
#include <QApplication>
#include <QBitmap>
#include <QFontMetrics>
#include <QLocale>
#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>
#include <QtMath>
#include <QResizeEvent>

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <vector>

using namespace tavrel;

static_assert(sizeof(RgbTriple) == 3, "a row buffer holds packed blue, green, red triples");

namespace {

// The caption's grey passes keep this colour also on a disabled bar.
constexpr quint32 kEffectGrey = 0x808080;

QColor toQColor(quint32 c)
{
    return QColor(RedOf(c), GreenOf(c), BlueOf(c));
}

// Runs one drawing step; a step that fails is given up and the repaint goes on.
template <typename F>
void step(F &&f) noexcept
{
    try {
        f();
    } catch (...) {
    }
}

int roundedOrZero(double v)
{
    return toInt32HalfEven(v).value_or(0);
}

// Keys of the stored design, written as the property names; the bag lowers their case.
const QString kMax = QStringLiteral("Max");
const QString kMin = QStringLiteral("Min");
const QString kValue = QStringLiteral("Value");
const QString kRoundedValue = QStringLiteral("RoundedValue");
const QString kEnabled = QStringLiteral("Enabled");
const QString kTheme = QStringLiteral("Theme");
const QString kTextStyle = QStringLiteral("TextStyle");
const QString kOrientations = QStringLiteral("Orientations");
const QString kText = QStringLiteral("Text");
const QString kTextEffectColor = QStringLiteral("TextEffectColor");
const QString kTextEffect = QStringLiteral("TextEffect");
const QString kTextAlignment = QStringLiteral("TextAlignment");
const QString kTextFont = QStringLiteral("TextFont");
const QString kTextForeColor = QStringLiteral("TextForeColor");
const QString kCustom1 = QStringLiteral("PBSCustomeColor1");
const QString kCustom2 = QStringLiteral("PBSCustomeColor2");
// The stored default of TextEffectColor; a new bar starts white, so it stores the key.
constexpr quint32 kDefaultEffectColour = 0xC8C8C8;

} // namespace

ProgressBar::ProgressBar(QWidget *parent)
    : QWidget(parent)
{
    // Screen readers learn the bar's value and range through its own accessible interface.
    static const bool accessible = [] {
        QAccessible::installFactory(ProgressBarAccessible::factory);
        return true;
    }();
    Q_UNUSED(accessible);
}

ProgressBar::~ProgressBar() = default;

QSize ProgressBar::sizeHint() const
{
    return QSize(238, 28);
}

QFont ProgressBar::ambientFont() const
{
    return parentWidget() ? parentWidget()->font() : QApplication::font();
}

QString ProgressBar::displayName() const
{
    return objectName();
}

void ProgressBar::changed(const char *name)
{
    emit PropertyChanged(QString::fromLatin1(name));
    RedrawBar();
}

void ProgressBar::setValue(int v)
{
    if (v > m_max)
        v = m_max;
    if (v < m_min)
        v = m_min;
    m_value = v;
    if (QAccessible::isActive()) {
        QAccessibleValueChangeEvent event(this, m_value);
        QAccessible::updateAccessibility(&event);
    }
    changed("Value");
}

void ProgressBar::setMax(int m)
{
    if (m < 1)
        m = 1;
    if (m <= m_min)
        m = m_min < std::numeric_limits<int>::max() ? m_min + 1 : m_min;
    m_max = m;
    if (m_value > m_max)
        setValue(m_max);
    changed("Max");
}

void ProgressBar::setMin(int n)
{
    if (n >= m_max)
        n = m_max - 1;
    if (n < 0)
        n = 0;
    m_min = n;
    if (m_value < m_min)
        setValue(m_min);
    changed("Min");
}

void ProgressBar::setTextStyle(int v) { m_textStyle = v; changed("TextStyle"); }
void ProgressBar::setTheme(int v) { m_theme = v; changed("Theme"); }
void ProgressBar::setOrientations(int v) { m_orientations = v; changed("Orientations"); }
void ProgressBar::setText(const QString &v) { m_text = v; changed("Text"); }
void ProgressBar::setTextForeColor(quint32 v) { m_textForeColor = v; changed("TextForeColor"); }
void ProgressBar::setTextAlignment(int v) { m_textAlignment = v; changed("TextAlignment"); }
void ProgressBar::setTextFont(const QFont &v) { m_textFont = v; changed("TextFont"); }
void ProgressBar::setTextEffectColor(quint32 v) { m_textEffectColor = v; changed("TextEffectColor"); }
void ProgressBar::setTextEffect(int v) { m_textEffect = v; changed("TextEffect"); }
void ProgressBar::setRoundedValue(int v) { m_roundedValue = v; changed("RoundedValue"); }
void ProgressBar::setBarEnabled(bool v) { m_enabled = v; changed("Enabled"); }
void ProgressBar::setPBSCustomeColor1(quint32 v) { m_customColor1 = v; changed("PBSCustomeColor1"); }
void ProgressBar::setPBSCustomeColor2(quint32 v) { m_customColor2 = v; changed("PBSCustomeColor2"); }

void ProgressBar::InitProperties()
{
    setMax(100);
    setMin(0);
    setValue(50);
    setRoundedValue(5);
    setBarEnabled(true);
    setTheme(ThemeSand);
    setTextForeColor(0);
    setText(QStringLiteral("Velk ProgressBar"));
    setTextAlignment(AlignMiddleCenter);
    setTextEffect(EffectShadow);
    setTextEffectColor(0xFFFFFF);
    setTextStyle(TextShowCustom);
    setOrientations(OrientHorizontal);
    setTextFont(ambientFont());
}

void ProgressBar::ReadProperties(const PropertyBag &bag)
{
    // Max before Min before Value, so the range rules act in that order. A key that cannot be
    // read keeps the current value.
    if (auto v = bag.readLong(kMax, 100)) setMax(*v);
    if (auto v = bag.readLong(kMin, 0)) setMin(*v);
    if (auto v = bag.readLong(kValue, 50)) setValue(*v);
    if (auto v = bag.readLong(kRoundedValue, 5)) setRoundedValue(*v);
    if (auto v = bag.readBool(kEnabled, true)) setBarEnabled(*v);
    if (auto v = bag.readLong(kTheme, 1)) setTheme(*v);
    if (auto v = bag.readLong(kTextStyle, 1)) setTextStyle(*v);
    if (auto v = bag.readLong(kOrientations, 1)) setOrientations(*v);
    if (auto v = bag.readString(kText, displayName())) setText(*v);
    if (auto v = bag.readColour(kTextEffectColor, kDefaultEffectColour)) setTextEffectColor(*v);
    if (auto v = bag.readLong(kTextEffect, 1)) setTextEffect(*v);
    if (auto v = bag.readLong(kTextAlignment, 5)) setTextAlignment(*v);
    if (auto v = bag.readFont(kTextFont, ambientFont())) setTextFont(*v);
    if (auto v = bag.readColour(kTextForeColor, 0)) setTextForeColor(*v);
    if (auto v = bag.readColour(kCustom2, 0)) setPBSCustomeColor2(*v);
    if (auto v = bag.readColour(kCustom1, 0)) setPBSCustomeColor1(*v);
}

void ProgressBar::WriteProperties(PropertyBag &bag) const
{
    bag.WriteProperty(kOrientations, m_orientations, 1);
    bag.WriteProperty(kMax, m_max, 100);
    bag.WriteProperty(kMin, m_min, 0);
    bag.WriteProperty(kValue, m_value, 50);
    bag.WriteProperty(kRoundedValue, m_roundedValue, 5);
    bag.WriteProperty(kEnabled, m_enabled, true);
    bag.WriteProperty(kTheme, m_theme, 1);
    bag.WriteProperty(kTextStyle, m_textStyle, 1);
    bag.WriteProperty(kTextFont, m_textFont, ambientFont());
    bag.WriteProperty(kTextForeColor, m_textForeColor, quint32(0));
    bag.WriteProperty(kTextAlignment, m_textAlignment, 5);
    bag.WriteProperty(kText, m_text, QString());
    bag.WriteProperty(kTextEffectColor, m_textEffectColor, kDefaultEffectColour);
    bag.WriteProperty(kTextEffect, m_textEffect, 1);
    bag.WriteProperty(kCustom2, m_customColor2, quint32(0));
    bag.WriteProperty(kCustom1, m_customColor1, quint32(0));
}

void ProgressBar::Resize()
{
    RedrawBar();
}

void ProgressBar::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    Resize();
}

void ProgressBar::paintEvent(QPaintEvent *event)
{
    if (m_picture.isNull())
        return;
    // Moved to a screen of another pixel density: draw again at the new one.
    if (m_picture.devicePixelRatio() != devicePixelRatioF())
        RedrawBar();
    QPainter p(this);
    const QRect r = event->rect();
    const qreal dpr = m_picture.devicePixelRatio();
    p.drawImage(QRectF(r), m_picture, QRectF(r.x() * dpr, r.y() * dpr, r.width() * dpr,
                                             r.height() * dpr));
}

void ProgressBar::updateRegion(int w, int h)
{
    // The region depends only on the size and the corners; the one already set stays valid.
    if (m_maskSize == QSize(w, h) && m_maskRounding == m_roundedValue)
        return;
    m_maskSize = QSize(w, h);
    m_maskRounding = m_roundedValue;
    if (w <= 0 || h <= 0) {
        clearMask();
        return;
    }
    QBitmap bits(w, h);
    bits.fill(Qt::color0);
    {
        QPainter p(&bits);
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::color1);
        const double r = std::max(0, m_roundedValue) / 2.0;
        QPainterPath path;
        path.addRoundedRect(QRectF(0, 0, w, h), r, r, Qt::AbsoluteSize);
        p.drawPath(path);
    }
    setMask(bits);
}

void ProgressBar::RedrawBar()
{
    // A window that sets many properties at once (loading its stored settings) turns updates
    // off meanwhile and asks for one repaint at the end.
    if (!updatesEnabled())
        return;
    const int W = width();
    const int H = height();

    step([&] { updateRegion(W, H); });

    double percent = 0;
    if (m_max != 0)
        percent = double(m_value) * 100.0 / double(m_max);

    int fill = 0;
    if (m_orientations == OrientVertical)
        fill = roundedOrZero(double(H) * percent / 100.0);
    else
        fill = roundedOrZero(double(W) * percent / 100.0);

    LoadThemePalette(m_palette, m_theme, m_customColor1, m_customColor2);
    if (!m_enabled) {
        for (quint32 &c : m_palette)
            c = GreyOf(c);
    }

    if (W <= 0 || H <= 0) {
        m_picture = QImage();
        update();
        return;
    }
    // Drawn at the screen's own pixel density, so a 2x screen shows it sharp; all geometry
    // below stays in the bar's logical pixels.
    const qreal dpr = devicePixelRatioF();
    const QSize pixels(qCeil(W * dpr), qCeil(H * dpr));
    if (m_picture.size() != pixels || m_picture.devicePixelRatio() != dpr) {
        m_picture = QImage(pixels, QImage::Format_RGB32);
        m_picture.setDevicePixelRatio(dpr);
    }
    m_picture.fill(palette().color(backgroundRole()));

    QPainter p(&m_picture);
    const auto &c = m_palette;
    const int h = roundedOrZero(H / 2.0);
    const int w = roundedOrZero(W / 2.0);
    if (m_orientations == OrientHorizontal) {
        step([&] { GradientTwoColour(p, 1, c[Track1Start], c[Track1End], 0, 0, W, h); });
        step([&] { GradientTwoColour(p, 1, c[Track2Start], c[Track2End], 0, h, W, H); });
        if (m_value >= 1) {
            step([&] { GradientTwoColour(p, 1, c[Fill1Start], c[Fill1End], 0, 0, fill, h); });
            step([&] { GradientTwoColour(p, 1, c[Fill2Start], c[Fill2End], 0, h, fill, H); });
        }
    } else if (m_orientations == OrientVertical) {
        step([&] { GradientTwoColour(p, 0, c[Track1Start], c[Track1End], 0, 0, w, H); });
        step([&] { GradientTwoColour(p, 0, c[Track2Start], c[Track2End], w, 0, W, H); });
        if (m_value >= 1) {
            step([&] { GradientTwoColour(p, 0, c[Fill1Start], c[Fill1End], 0, 0, w, fill); });
            step([&] { GradientTwoColour(p, 0, c[Fill2Start], c[Fill2End], w, 0, W, fill); });
        }
    }

    // The outline lies one pixel inside the region's right and bottom edges.
    step([&] {
        p.setPen(toQColor(c[Border]));
        p.setBrush(Qt::NoBrush);
        const double r = std::max(0, m_roundedValue) / 2.0;
        p.drawRoundedRect(QRectF(0, 0, W - 2, H - 2), r, r, Qt::AbsoluteSize);
    });

    step([&] {
        switch (m_textStyle) {
        case TextShowValue:
            DrawBarText(p, QString::number(m_value), m_textAlignment);
            break;
        case TextShowPercent:
            DrawBarText(p, PercentText(percent, QLocale()) + u'%', m_textAlignment);
            break;
        case TextShowCustom:
            DrawBarText(p, m_text, m_textAlignment);
            break;
        default:
            break;
        }
    });
    p.end();
    update();
}

QString ProgressBar::PercentText(double percent, const QLocale &locale)
{
    QLocale l = locale;
    l.setNumberOptions(QLocale::OmitGroupSeparator);
    return l.toString(percent, 'g', 15);
}

void ProgressBar::DrawBarText(QPainter &painter, const QString &text, int alignment)
{
    const quint32 fore = m_enabled ? m_textForeColor : GreyOf(m_textForeColor);
    const quint32 effect = m_enabled ? m_textEffectColor : GreyOf(m_textEffectColor);

    painter.setFont(m_textFont);
    const QFontMetrics fm(m_textFont, &m_picture);
    const double tw = fm.horizontalAdvance(text);
    const double th = fm.height();
    const double W = width();
    const double H = height();

    const int left = 1;
    const int centre = roundedOrZero(W / 2 - tw / 2 - 1);
    const int right = roundedOrZero(W - tw - 3);
    const int top = 0;
    const int middle = roundedOrZero(H / 2 - th / 2 - 1);
    const int bottom = roundedOrZero(H - th - 1);

    int x = 0;
    int y = 0;
    if (alignment >= AlignTopLeft && alignment <= AlignBottomRight) {
        const int column = (alignment - 1) / 3;
        const int row = (alignment - 1) % 3;
        x = column == 0 ? left : column == 1 ? centre : right;
        y = row == 0 ? top : row == 1 ? middle : bottom;
    }

    // Text is placed by its top-left corner.
    const int ascent = fm.ascent();
    const auto pass = [&](int px, int py, quint32 colour) {
        painter.setPen(toQColor(colour));
        painter.drawText(QPoint(px, py + ascent), text);
    };
    switch (m_textEffect) {
    case EffectNone:
        pass(x, y, fore);
        break;
    case EffectRaised:
        pass(x - 1, y - 1, effect);
        pass(x + 1, y + 1, kEffectGrey);
        pass(x, y, fore);
        break;
    case EffectSunken:
        pass(x + 1, y + 1, effect);
        pass(x - 1, y, kEffectGrey);
        pass(x, y, fore);
        break;
    case EffectOutline:
        pass(x + 1, y, effect);
        pass(x - 1, y, effect);
        pass(x, y - 1, effect);
        pass(x, y + 1, effect);
        pass(x, y, fore);
        break;
    case EffectShadow:
        pass(x + 1, y + 1, effect);
        pass(x, y, fore);
        break;
    default:
        break;
    }
}

void ProgressBar::GradientTwoColour(QPainter &painter, int direction, quint32 startColour,
                                    quint32 endColour, int left, int top, int right, int bottom)
{
    if (direction != 0 && direction != 1)
        return;
    if (right <= left || bottom <= top)
        return;

    // The colours as the gradient vertices carry them: a component in the high byte.
    const int s[3] = {ToColour16(RedOf(startColour)) >> 8, ToColour16(GreenOf(startColour)) >> 8,
                      ToColour16(BlueOf(startColour)) >> 8};
    const int e[3] = {ToColour16(RedOf(endColour)) >> 8, ToColour16(GreenOf(endColour)) >> 8,
                      ToColour16(BlueOf(endColour)) >> 8};

    const qint64 from = direction == 0 ? left : top;
    const qint64 to = direction == 0 ? right : bottom;
    const qint64 n = to - from;

    // Only the part that can land on the device is worth computing.
    qint64 first = from;
    qint64 last = to;
    if (const QPaintDevice *dev = painter.device();
        dev && painter.worldTransform().type() <= QTransform::TxTranslate) {
        const qint64 offset = qint64(direction == 0 ? painter.worldTransform().dx()
                                                    : painter.worldTransform().dy());
        const qint64 extent =
            qCeil((direction == 0 ? dev->width() : dev->height()) / dev->devicePixelRatio());
        first = std::max(first, -offset);
        last = std::min(last, extent - offset);
    }

    const auto colourAt = [&](qint64 i) {
        int c[3];
        for (int k = 0; k < 3; ++k)
            c[k] = int(roundHalfEven(s[k] + double(e[k] - s[k]) * double(i - from) / double(n)));
        return MakeColour(c[0], c[1], c[2]);
    };

    // Neighbouring lines of the same colour are filled at once.
    qint64 runStart = first;
    quint32 runColour = first < last ? colourAt(first) : 0;
    for (qint64 i = first; i < last; ++i) {
        const quint32 colour = i == runStart ? runColour : colourAt(i);
        const bool endsRun = colour != runColour;
        if (endsRun) {
            const QRect r = direction == 0
                ? QRect(int(runStart), top, int(i - runStart), bottom - top)
                : QRect(left, int(runStart), right - left, int(i - runStart));
            painter.fillRect(r, toQColor(runColour));
            runStart = i;
            runColour = colour;
        }
    }
    if (first < last) {
        const QRect r = direction == 0
            ? QRect(int(runStart), top, int(last - runStart), bottom - top)
            : QRect(left, int(runStart), right - left, int(last - runStart));
        painter.fillRect(r, toQColor(runColour));
    }
}

void ProgressBar::DrawGradientFourColour(QPainter &painter, int left, int top, int width,
                                         int height, quint32 topLeft, quint32 topRight,
                                         quint32 bottomLeft, quint32 bottomRight)
{
    if (height < 0)
        throw std::out_of_range("DrawGradientFourColour: negative height");
    const std::vector<RgbTriple> leftEdge =
        InterpolateColours(height, ToRgbTriple(topLeft), ToRgbTriple(bottomLeft));
    const std::vector<RgbTriple> rightEdge =
        InterpolateColours(height, ToRgbTriple(topRight), ToRgbTriple(bottomRight));
    if (width < 1)
        throw std::out_of_range("DrawGradientFourColour: width below 1");

    // One bottom-up scan line of 24-bit pixels, rows padded to four bytes, reused for every row.
    const qsizetype rowBytes = qsizetype(width) * 3;
    const qsizetype stride = (rowBytes + 3) & ~qsizetype(3);
    if (stride > std::numeric_limits<int>::max())
        throw std::out_of_range("DrawGradientFourColour: width too large");
    std::vector<uchar> buffer(size_t(stride), 0);
    const QImage row(buffer.data(), width, 1, stride, QImage::Format_BGR888);
    std::vector<RgbTriple> colours;
    for (int r = 0; r < height; ++r) {
        InterpolateColours(width, leftEdge[size_t(r)], rightEdge[size_t(r)], colours);
        std::memcpy(buffer.data(), colours.data(), size_t(rowBytes));
        const qint64 y = qint64(top) + r;
        if (y > std::numeric_limits<int>::max())
            break;
        painter.drawImage(QPoint(left, int(y)), row);
    }
}
