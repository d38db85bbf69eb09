// The host tags built from the sensor's resolution: pure arithmetic.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "hosts.h"

TEST(HostTag, NoResolutionGivesFrontEnd511AndPhotoServerZero)
{
    EXPECT_EQ(0x000001FFu, FrontEndTag(0.0));
    EXPECT_EQ(0x00000000u, PhotoServerTag(0.0, 0.0));
}

TEST(HostTag, FirstGoesToBothHostsSecondOnlyToPhotoServer)
{
    EXPECT_EQ(0x001401FFu, FrontEndTag(20.5));
    EXPECT_EQ(0x000A0014u, PhotoServerTag(20.5, 10.0));
    // The halves are not swapped: distinct values show which went where.
    EXPECT_EQ(0x00030002u, PhotoServerTag(2.0, 3.0));
    EXPECT_EQ(0x000201FFu, FrontEndTag(2.0));
}

TEST(HostTag, FractionsAreCutTowardZero)
{
    EXPECT_EQ(19, ResolutionWord(19.9));
    EXPECT_EQ(0xFFFF, ResolutionWord(-1.9));
    EXPECT_EQ(0xFFFF, ResolutionWord(-1.0));
    EXPECT_EQ(0, ResolutionWord(0.999));
    EXPECT_EQ(0, ResolutionWord(-0.999));
    EXPECT_EQ(0xFFFE, ResolutionWord(-2.5));
    EXPECT_EQ(0x00130000u | 0x01FFu, FrontEndTag(19.9));
    EXPECT_EQ(0xFFFF01FFu, FrontEndTag(-1.9));
}

TEST(HostTag, OnlyTheLow16BitsRemain)
{
    EXPECT_EQ(1, ResolutionWord(65537.9));
    EXPECT_EQ(0, ResolutionWord(65536.0));
    EXPECT_EQ(0xFFFF, ResolutionWord(65535.0));
    EXPECT_EQ(0x8000, ResolutionWord(-32768.0));
    EXPECT_EQ(0xFFFF, ResolutionWord(-65537.0));
    // Past 32 bits the truncation is still to 64 bits: 2^40 + 5.
    EXPECT_EQ(5, ResolutionWord(1099511627781.0));
    EXPECT_EQ(0x0001FFFFu, PhotoServerTag(-1.0, 65537.9));
}

TEST(HostTag, ValuesWithoutAnIntegerFormGiveZero)
{
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(0, ResolutionWord(std::nan("")));
    EXPECT_EQ(0, ResolutionWord(-std::nan("")));
    EXPECT_EQ(0, ResolutionWord(inf));
    EXPECT_EQ(0, ResolutionWord(-inf));
    EXPECT_EQ(0, ResolutionWord(1e30));
    EXPECT_EQ(0, ResolutionWord(-1e30));
    EXPECT_EQ(0x01FFu, FrontEndTag(std::nan("")));
    EXPECT_EQ(0x00000007u, PhotoServerTag(7.0, inf));
    EXPECT_EQ(0x00070000u, PhotoServerTag(-inf, 7.0));
}

TEST(HostTag, EdgesOfThe64BitRange)
{
    // -2^63 fits; 2^63 does not; the largest double below 2^63 is 2^63 - 1024.
    EXPECT_EQ(0, ResolutionWord(-9223372036854775808.0));
    EXPECT_EQ(0, ResolutionWord(9223372036854775808.0));
    EXPECT_EQ(0xFC00, ResolutionWord(9223372036854774784.0));
    EXPECT_EQ(0x0400, ResolutionWord(-9223372036854774784.0));
    EXPECT_EQ(0, ResolutionWord(-9223372036854777856.0));  // next double below -2^63
}

TEST(DeleteResourceMessage, IsTheRegisteredWindowMessage)
{
    UINT registered = RegisterWindowMessageA("WM_DELETE_RESOURCE");
    EXPECT_GE(registered, 0xC000u);
    EXPECT_EQ(registered, DeleteResourceMessage());
}
