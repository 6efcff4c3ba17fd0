#pragma once

#include <cfenv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

namespace tavrel {

// Every place where a real value becomes an integer (a page count, a download percentage, a
// pixel position, a colour component) rounds half to even: 12.5 -> 12, 13.5 -> 14.
// std::nearbyint follows the current rounding mode, which nothing in the program changes from
// the default round-to-nearest-even.
inline double roundHalfEven(double v)
{
    return std::nearbyint(v);
}

// The same rounding into a 32-bit integer; nothing when the value does not fit.
inline std::optional<std::int32_t> toInt32HalfEven(double v)
{
    if (!std::isfinite(v))
        return std::nullopt;
    const double r = std::nearbyint(v);
    if (r < double(std::numeric_limits<std::int32_t>::min())
        || r > double(std::numeric_limits<std::int32_t>::max()))
        return std::nullopt;
    return static_cast<std::int32_t>(r);
}

} // namespace tavrel
