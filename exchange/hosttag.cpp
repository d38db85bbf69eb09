// The host tags. The front end's low half is fixed; the photo server's
// halves are the two resolution values.
#include "hosttag.h"

static constexpr uint16_t FRONT_END_LOW_WORD = 0x01FF;

uint16_t ResolutionWord(double value)
{
    // -2^63 and 2^63 are exact doubles. Every double in [-2^63, 2^63)
    // truncates into int64_t; anything else (NaN included, which fails both
    // comparisons) would be undefined behaviour to convert, so it gives 0.
    constexpr double low = -9223372036854775808.0;
    constexpr double high = 9223372036854775808.0;
    if (!(value >= low && value < high)) {
        return 0;
    }
    return static_cast<uint16_t>(static_cast<uint64_t>(static_cast<int64_t>(value)));
}

uint32_t FrontEndTag(double first)
{
    return (static_cast<uint32_t>(ResolutionWord(first)) << 16) | FRONT_END_LOW_WORD;
}

uint32_t PhotoServerTag(double first, double second)
{
    return (static_cast<uint32_t>(ResolutionWord(second)) << 16) | ResolutionWord(first);
}
