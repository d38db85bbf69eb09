// Narrowing of 64-bit intermediate results to int without wrapping.
#pragma once

#include <cstdint>

// The value, or the nearer end of the int range when it lies outside it.
constexpr int SaturateToInt(int64_t value)
{
    return value < INT32_MIN ? INT32_MIN : value > INT32_MAX ? INT32_MAX : static_cast<int>(value);
}
