#pragma once

#include <QtGlobal>

#include <array>
#include <cstdint>
#include <vector>

// Colour arithmetic of the progress bar. A colour is 0x00BBGGRR, red in the low byte.
namespace tavrel {

// The pixel layout of a 24-bit bitmap row: blue, green, red.
struct RgbTriple
{
    quint8 Blue = 0;
    quint8 Green = 0;
    quint8 Red = 0;
    friend bool operator==(const RgbTriple &, const RgbTriple &) = default;
};

// Builds a colour from components; a component above 255 becomes 255, one below 0 becomes 0.
quint32 MakeColour(qint64 red, qint64 green, qint64 blue);

inline int RedOf(quint32 c) { return int(c & 0xFF); }
inline int GreenOf(quint32 c) { return int((c >> 8) & 0xFF); }
inline int BlueOf(quint32 c) { return int((c >> 16) & 0xFF); }

// Each component moved by k (absolute value, capped at 255).
quint32 ShiftColour(quint32 c, int k);

// The average of the components as a grey. Green and blue are rounded quotients rather than
// masked bytes, so they may come out one higher (0xC8C8C8 gives 0xC9C9C9).
quint32 GreyOf(quint32 c);

// An 8-bit component as a 16-bit gradient vertex component: v in the high byte.
quint16 ToColour16(int v);

// d / n in double precision, kept in single precision; 0 when d or n is 0.
float GradientStep(int d, int n);

// n + 1 colours from a to b; entry i of each component is step * i + start, rounded half to
// even. The result goes into out (resized), so a caller can keep one buffer across rows.
void InterpolateColours(int n, RgbTriple a, RgbTriple b, std::vector<RgbTriple> &out);
std::vector<RgbTriple> InterpolateColours(int n, RgbTriple a, RgbTriple b);

RgbTriple ToRgbTriple(quint32 c);

// The nine drawing colours of the bar.
enum PaletteSlot {
    Track1Start, Track1End, Track2Start, Track2End,
    Fill1Start, Fill1End, Fill2Start, Fill2End,
    Border,
    PaletteSize
};
using DrawingPalette = std::array<quint32, PaletteSize>;

// Fills the palette for a theme 1..10. Any other theme leaves the palette as it is.
void LoadThemePalette(DrawingPalette &palette, int theme, quint32 custom1, quint32 custom2);

} // namespace tavrel
