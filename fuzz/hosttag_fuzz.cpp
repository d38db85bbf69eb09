// Fuzz target for the host tags. The input is the resolution pair, two
// doubles as the driver writes them (first then second, little-endian; a
// short input is padded with zero bytes). Each 16-bit form must agree with
// plain truncation toward zero wherever that is defined (finite, |v| < 2^63),
// be 0 elsewhere, and both tags must be built from those forms.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "hosttag.h"
#include "require.h"

namespace {

// The low 16 bits of the truncated value, worked out in floating point
// alone: fmod is exact, so no integer conversion is involved.
uint16_t ExpectedWord(double value)
{
    if (!std::isfinite(value) || std::fabs(value) >= 9223372036854775808.0) {
        return 0;
    }
    double low = std::fmod(std::trunc(value), 65536.0);  // an integer in (-65536, 65536)
    if (low < 0) {
        low += 65536.0;
    }
    return static_cast<uint16_t>(low);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    uint8_t bytes[16] = {};
    memcpy(bytes, data, size < sizeof bytes ? size : sizeof bytes);
    double first, second;
    memcpy(&first, bytes, 8);
    memcpy(&second, bytes + 8, 8);

    const uint32_t a = ExpectedWord(first), b = ExpectedWord(second);
    if (std::isfinite(first) && std::fabs(first) < 65536.0 && first >= 0) {
        REQUIRE(a == static_cast<uint32_t>(first));
    }
    REQUIRE(ResolutionWord(first) == a);
    REQUIRE(ResolutionWord(second) == b);
    REQUIRE(FrontEndTag(first) == ((a << 16) | 0x01FFu));
    REQUIRE(FrontEndTag(second) == ((b << 16) | 0x01FFu));
    REQUIRE(PhotoServerTag(first, second) == ((b << 16) | a));
    REQUIRE(PhotoServerTag(second, first) == ((a << 16) | b));
    return 0;
}
