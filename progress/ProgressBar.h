#pragma once

#include "progress/Colour.h"

#include <QFont>
#include <QImage>
#include <QString>
#include <QWidget>

class PropertyBag;
class QPainter;

// A self-drawn bar with rounded corners: a two-half gradient track and fill in one of ten
// themes, a one-pixel rounded outline and an optional caption with a text effect.
//
// Every setter stores its value (after the range rules of Value, Max and Min), emits
// PropertyChanged with the property's name and then redraws the whole bar into a kept
// picture, which paintEvent puts on screen.
//
// The Enabled property is the bar's own look (greyed or not) and is set with setBarEnabled:
// a setter named setEnabled would hide QWidget::setEnabled, and tying the look to the
// widget's enabled state would grey the bar whenever its window is disabled.
class ProgressBar : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(int Max READ Max WRITE setMax)
    Q_PROPERTY(int Min READ Min WRITE setMin)
    Q_PROPERTY(int Value READ Value WRITE setValue)
    Q_PROPERTY(int RoundedValue READ RoundedValue WRITE setRoundedValue)
    Q_PROPERTY(bool Enabled READ Enabled WRITE setBarEnabled)
    Q_PROPERTY(int Theme READ Theme WRITE setTheme)
    Q_PROPERTY(int TextStyle READ TextStyle WRITE setTextStyle)
    Q_PROPERTY(int Orientations READ Orientations WRITE setOrientations)
    Q_PROPERTY(QString Text READ Text WRITE setText)
    Q_PROPERTY(quint32 TextEffectColor READ TextEffectColor WRITE setTextEffectColor)
    Q_PROPERTY(int TextEffect READ TextEffect WRITE setTextEffect)
    Q_PROPERTY(int TextAlignment READ TextAlignment WRITE setTextAlignment)
    Q_PROPERTY(QFont TextFont READ TextFont WRITE setTextFont)
    Q_PROPERTY(quint32 TextForeColor READ TextForeColor WRITE setTextForeColor)
    Q_PROPERTY(quint32 PBSCustomeColor1 READ PBSCustomeColor1 WRITE setPBSCustomeColor1)
    Q_PROPERTY(quint32 PBSCustomeColor2 READ PBSCustomeColor2 WRITE setPBSCustomeColor2)

public:
    enum TextStyles { TextShowValue = 1, TextShowPercent = 2, TextShowCustom = 3 };
    enum OrientationValues { OrientHorizontal = 1, OrientVertical = 2 };
    enum Alignments {
        AlignTopLeft = 1, AlignMiddleLeft, AlignBottomLeft,
        AlignTopCenter, AlignMiddleCenter, AlignBottomCenter,
        AlignTopRight, AlignMiddleRight, AlignBottomRight
    };
    enum Effects { EffectNone = 1, EffectRaised, EffectSunken, EffectOutline, EffectShadow };
    enum Themes {
        ThemeSand = 1, ThemeOlive, ThemeGreen, ThemeTeal, ThemeIndigo,
        ThemeMagenta, ThemeRed, ThemeSky, ThemeLime, ThemeCustom
    };

    explicit ProgressBar(QWidget *parent = nullptr);
    ~ProgressBar() override;

    int Value() const { return m_value; }
    int Max() const { return m_max; }
    int Min() const { return m_min; }
    int TextStyle() const { return m_textStyle; }
    int Theme() const { return m_theme; }
    int Orientations() const { return m_orientations; }
    QString Text() const { return m_text; }
    quint32 TextForeColor() const { return m_textForeColor; }
    int TextAlignment() const { return m_textAlignment; }
    QFont TextFont() const { return m_textFont; }
    quint32 TextEffectColor() const { return m_textEffectColor; }
    int TextEffect() const { return m_textEffect; }
    int RoundedValue() const { return m_roundedValue; }
    bool Enabled() const { return m_enabled; }
    quint32 PBSCustomeColor1() const { return m_customColor1; }
    quint32 PBSCustomeColor2() const { return m_customColor2; }

    void setValue(int v);
    void setMax(int m);
    void setMin(int n);
    void setTextStyle(int v);
    void setTheme(int v);
    void setOrientations(int v);
    void setText(const QString &v);
    void setTextForeColor(quint32 v);
    void setTextAlignment(int v);
    void setTextFont(const QFont &v);
    void setTextEffectColor(quint32 v);
    void setTextEffect(int v);
    void setRoundedValue(int v);
    void setBarEnabled(bool v);
    void setPBSCustomeColor1(quint32 v);
    void setPBSCustomeColor2(quint32 v);

    // Lifecycle hooks, called by the window that holds the bar: InitProperties gives a new bar
    // its first design, ReadProperties and WriteProperties load and save it (each key in a
    // fixed order, so the range rules of Max, Min and Value act in that order), Resize repaints
    // at the new size. Resize is public interface for a window that resizes the bar while it is
    // hidden (a hidden widget gets no resize event); after it, picture() has the new size.
    void InitProperties();
    void ReadProperties(const PropertyBag &bag);
    void WriteProperties(PropertyBag &bag) const;
    void Resize();

    // Paints the whole bar into the kept picture and schedules it for the screen.
    void RedrawBar();

    // The two public drawing methods; they use nothing of the bar's state. The bar itself paints
    // with GradientTwoColour only; DrawGradientFourColour is public interface for callers that
    // want the four-corner gradient in the bar's colour arithmetic.
    // A linear gradient over [left, right) x [top, bottom); direction 0 runs left to right,
    // 1 top to bottom. The first column (or row) has exactly the start colour. An empty
    // rectangle or another direction draws nothing.
    static void GradientTwoColour(QPainter &painter, int direction, quint32 startColour,
                                  quint32 endColour, int left, int top, int right, int bottom);
    // Colours interpolated between four corners, one scan line at a time. Throws
    // std::out_of_range for a negative height (before drawing) and for a width below 1.
    static void DrawGradientFourColour(QPainter &painter, int left, int top, int width,
                                       int height, quint32 topLeft, quint32 topRight,
                                       quint32 bottomLeft, quint32 bottomRight);

    // The percent caption: shortest form, at most 15 significant digits, the locale's
    // decimal separator.
    static QString PercentText(double percent, const QLocale &locale);

    // The last picture drawn, at the screen's pixel density (its devicePixelRatio), and the
    // colours it was drawn with.
    const QImage &picture() const { return m_picture; }
    const tavrel::DrawingPalette &drawingPalette() const { return m_palette; }

    // The font a new bar takes from the window that holds it, and the bar's object name, which
    // a stored design without a caption uses as its text.
    QFont ambientFont() const;
    QString displayName() const;

    QSize sizeHint() const override;

signals:
    void PropertyChanged(const QString &name);

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void changed(const char *name);
    void DrawBarText(QPainter &painter, const QString &text, int alignment);
    void updateRegion(int w, int h);

    int m_textStyle = 0;
    int m_theme = 0;
    int m_orientations = 0;
    QString m_text;
    quint32 m_textForeColor = 0;
    int m_textAlignment = 0;
    QFont m_textFont;
    quint32 m_textEffectColor = 0;
    int m_textEffect = 0;
    int m_roundedValue = 0;
    int m_min = 0;
    int m_value = 0;
    int m_max = 0;
    bool m_enabled = false;
    tavrel::DrawingPalette m_palette{};
    quint32 m_customColor1 = 0;
    quint32 m_customColor2 = 0;

    QImage m_picture;
    // The region the mask was built for; rebuilt only when size or corners change.
    QSize m_maskSize;
    int m_maskRounding = -1;
};
