#include "progress/Colour.h"

#include "core/Rounding.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

namespace tavrel {

namespace {

quint8 capByte(qint64 v)
{
    return quint8(std::clamp<qint64>(v, 0, 255));
}

// The colour arithmetic reads a colour as a signed 32-bit number, so a colour with the top bit
// set gives the odd results callers of GreyOf and ShiftColour have always seen.
qint64 asLong(quint32 c)
{
    return qint64(std::int32_t(c));
}

struct Rgb
{
    quint8 r, g, b;
};

constexpr Rgb kThemes[9][PaletteSize] = {
    // track 1 start, track 1 end, track 2 start, track 2 end,
    // fill 1 start, fill 1 end, fill 2 start, fill 2 end, border
    {{248, 246, 242}, {233, 227, 211}, {226, 215, 182}, {239, 233, 215},
     {251, 244, 223}, {239, 213, 133}, {203, 166, 57}, {237, 224, 187}, {204, 168, 62}},
    {{247, 248, 242}, {231, 233, 211}, {222, 226, 182}, {237, 239, 215},
     {249, 251, 223}, {230, 239, 133}, {190, 203, 57}, {233, 237, 187}, {192, 204, 62}},
    {{242, 248, 243}, {211, 233, 213}, {182, 226, 186}, {215, 239, 217},
     {223, 251, 225}, {133, 239, 142}, {57, 203, 70}, {187, 237, 191}, {62, 204, 74}},
    {{242, 248, 247}, {211, 233, 231}, {182, 226, 222}, {215, 239, 237},
     {223, 251, 249}, {133, 239, 230}, {57, 203, 190}, {187, 237, 233}, {62, 204, 192}},
    {{243, 242, 248}, {213, 211, 233}, {186, 182, 226}, {217, 215, 239},
     {225, 223, 251}, {142, 133, 239}, {70, 57, 203}, {191, 187, 237}, {74, 62, 204}},
    {{248, 242, 247}, {233, 211, 231}, {226, 182, 222}, {239, 215, 237},
     {251, 223, 249}, {239, 133, 230}, {203, 57, 190}, {237, 187, 233}, {204, 62, 192}},
    {{248, 242, 242}, {233, 211, 211}, {226, 182, 182}, {239, 215, 215},
     {251, 223, 223}, {239, 133, 133}, {203, 57, 57}, {237, 187, 187}, {204, 62, 62}},
    {{250, 253, 254}, {228, 243, 252}, {199, 230, 249}, {237, 247, 253},
     {225, 247, 255}, {67, 208, 255}, {63, 112, 233}, {63, 226, 246}, {23, 139, 211}},
    {{231, 243, 232}, {225, 219, 225}, {179, 189, 179}, {226, 238, 226},
     {223, 251, 223}, {108, 255, 108}, {26, 228, 26}, {217, 244, 217}, {188, 184, 188}},
};

} // namespace

quint32 MakeColour(qint64 red, qint64 green, qint64 blue)
{
    return quint32(capByte(red)) | (quint32(capByte(green)) << 8) | (quint32(capByte(blue)) << 16);
}

quint32 ShiftColour(quint32 colour, int k)
{
    const qint64 c = asLong(colour);
    const qint64 red = std::llabs(c % 256 + k);
    const qint64 green = std::llabs(((c & ~qint64(0xFF)) / 256) % 256 + k);
    const qint64 blue = std::llabs((c & 0xFF0000) / 65536 + k);
    return MakeColour(red, green, blue);
}

quint32 GreyOf(quint32 colour)
{
    const qint64 c = asLong(colour);
    const double r = double(c % 256);
    const double g = roundHalfEven(double(c % 65536) / 256.0);
    const double b = roundHalfEven(double(c) / 65536.0);
    const qint64 v = qint64(roundHalfEven((r + g + b) / 3.0));
    return MakeColour(v, v, v);
}

quint16 ToColour16(int v)
{
    return quint16(quint32(v) * 256u);
}

float GradientStep(int d, int n)
{
    if (d == 0 || n == 0)
        return 0.0f;
    return float(double(d) / double(n));
}

RgbTriple ToRgbTriple(quint32 c)
{
    return RgbTriple{quint8(BlueOf(c)), quint8(GreenOf(c)), quint8(RedOf(c))};
}

void InterpolateColours(int n, RgbTriple a, RgbTriple b, std::vector<RgbTriple> &out)
{
    if (n < 0)
        throw std::out_of_range("InterpolateColours: negative step count");
    out.resize(size_t(n) + 1);
    const float stepB = GradientStep(int(b.Blue) - int(a.Blue), n);
    const float stepG = GradientStep(int(b.Green) - int(a.Green), n);
    const float stepR = GradientStep(int(b.Red) - int(a.Red), n);
    for (int i = 0; i <= n; ++i) {
        out[size_t(i)] = RgbTriple{
            capByte(qint64(roundHalfEven(double(stepB) * i + a.Blue))),
            capByte(qint64(roundHalfEven(double(stepG) * i + a.Green))),
            capByte(qint64(roundHalfEven(double(stepR) * i + a.Red))),
        };
    }
}

std::vector<RgbTriple> InterpolateColours(int n, RgbTriple a, RgbTriple b)
{
    std::vector<RgbTriple> out;
    InterpolateColours(n, a, b, out);
    return out;
}

void LoadThemePalette(DrawingPalette &palette, int theme, quint32 custom1, quint32 custom2)
{
    if (theme >= 1 && theme <= 9) {
        const auto &row = kThemes[theme - 1];
        for (int i = 0; i < PaletteSize; ++i)
            palette[size_t(i)] = MakeColour(row[i].r, row[i].g, row[i].b);
    } else if (theme == 10) {
        palette[Track1Start] = ShiftColour(custom2, 180);
        palette[Track1End] = ShiftColour(custom2, 50);
        palette[Track2Start] = custom2;
        palette[Track2End] = ShiftColour(custom2, 80);
        palette[Fill1Start] = ShiftColour(custom1, 180);
        palette[Fill1End] = ShiftColour(custom1, 50);
        palette[Fill2Start] = custom1;
        palette[Fill2End] = ShiftColour(custom1, 80);
        palette[Border] = custom1;
    }
}

} // namespace tavrel
