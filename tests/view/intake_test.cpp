// The view's intake of the driver's images through the station's window
// procedure: the blocks it takes in, refuses or ignores, and an image that
// arrives while an intake is running.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "dibbuilder.h"
#include "memwatch.h"
#include "rangerecorder.h"
#include "testhosts.h"
#include "teststation.h"
#include "view.h"
#include "xraydrv.h"

// What another process or a careless driver can post as an image. A handle
// that is no live block is ignored outright; a live block whose DIB does not
// fit it is freed and refused with one box; a sound header the view cannot
// draw goes on as any image. The good image, its scroll state and the hosts
// are untouched by the first two.
TEST(DriverImageIntake, OnlyLiveBlocksThatFitTheirHeaderReplaceTheCurrentImage)
{
    enum Outcome { Ignored, Refused, Adopted };
    TestStation station;
    ASSERT_NE(nullptr, station.window);
    TestHosts hosts(true, true);
    station.driver.SetSize(900, 1200);
    HGLOBAL good = MakeImageBlock(900, 1200);
    const std::vector<BYTE> goodBytes = BlockBytes(good);
    std::vector<BYTE> oneShort = goodBytes, bigClaim(1328, 0), runLength = goodBytes;
    oneShort.pop_back();
    memcpy(bigClaim.data(), goodBytes.data(), 40);
    reinterpret_cast<BITMAPINFOHEADER *>(bigClaim.data())->biWidth = 4000;
    reinterpret_cast<BITMAPINFOHEADER *>(bigClaim.data())->biHeight = 4000;
    reinterpret_cast<BITMAPINFOHEADER *>(runLength.data())->biCompression = BI_RLE8;
    // A header alone claiming 4096 by 4096 run lengths: no table, no bits.
    std::vector<BYTE> bareRunLength(goodBytes.begin(), goodBytes.begin() + 40);
    reinterpret_cast<BITMAPINFOHEADER *>(bareRunLength.data())->biWidth = 4096;
    reinterpret_cast<BITMAPINFOHEADER *>(bareRunLength.data())->biHeight = 4096;
    reinterpret_cast<BITMAPINFOHEADER *>(bareRunLength.data())->biCompression = BI_RLE8;
    // Run lengths with a table but no size for their bits.
    std::vector<BYTE> undeclaredRunLength = runLength;
    reinterpret_cast<BITMAPINFOHEADER *>(undeclaredRunLength.data())->biSizeImage = 0;
    const struct {
        const char *what;
        HGLOBAL handle;
        Outcome outcome;
    } cases[] = {
        {"a block freed just before", nullptr, Ignored},
        {"a made-up handle", reinterpret_cast<HGLOBAL>(static_cast<ULONG_PTR>(0x5A5A0008)), Ignored},
        {"a block one byte short", MakeBlock(oneShort), Refused},
        {"a header of 4000 by 4000 in 1328 bytes", MakeBlock(bigClaim), Refused},
        {"a run-length header of 4096 by 4096 in 40 bytes", MakeBlock(bareRunLength), Refused},
        {"run lengths that declare no size", MakeBlock(undeclaredRunLength), Refused},
        {"a run-length header", MakeBlock(runLength), Adopted},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        FreeImageBlock(GetCurrentImage());
        SetCurrentImage(nullptr);
        SendMessageA(station.window, WM_USER, XRAY_MSG_IMAGE, reinterpret_cast<LPARAM>(MakeBlock(goodBytes)));
        HGLOBAL current = GetCurrentImage();
        ASSERT_NE(nullptr, current);
        SendMessageA(station.window, WM_VSCROLL, MAKEWPARAM(SB_THUMBPOSITION, 40), 0);
        const int position = GetScrollPos(station.window, SB_VERT);
        ASSERT_EQ(40, position);
        station.modal.records.clear();
        Events().clear();
        MemoryWatch memory;
        RangeRecorder ranges;
        // Freed last, so that no block made since has taken its handle.
        HGLOBAL handle = c.handle;
        if (handle == nullptr) {
            handle = GlobalAlloc(GMEM_MOVEABLE, goodBytes.size());
            GlobalFree(handle);
            memory.Reset();
            Events().clear();
        }

        SendMessageA(station.window, WM_USER, XRAY_MSG_IMAGE, reinterpret_cast<LPARAM>(handle));
        PumpMessages();

        if (c.outcome == Adopted) {
            EXPECT_EQ(handle, GetCurrentImage());
            EXPECT_EQ(1u, CopyEvents('F').size()) << DescribeEvents();
            EXPECT_TRUE(station.modal.records.empty()) << Describe(station.modal.records);
            continue;
        }
        EXPECT_EQ(current, GetCurrentImage());
        EXPECT_TRUE(BlockBytes(current) == goodBytes);
        EXPECT_EQ(0u, LockCount(current));
        EXPECT_EQ(position, GetScrollPos(station.window, SB_VERT));
        EXPECT_TRUE(ranges.All().empty());
        EXPECT_TRUE(CopyEvents('F').empty() && CopyEvents('P').empty()) << DescribeEvents();
        EXPECT_EQ(0, memory.Allocations());
        if (c.outcome == Ignored) {
            EXPECT_TRUE(memory.Freed().empty()) << DescribeEvents();
            EXPECT_TRUE(station.modal.records.empty()) << Describe(station.modal.records);
            continue;
        }
        EXPECT_EQ(std::vector<HGLOBAL> {handle}, memory.Freed()) << "the refused block is the station's to free";
        ExpectOneErrorBox(station.modal, station.window, "Immagine non valida");
    }
    GlobalFree(good);
}

// The station on the driver that delivers from a thread of its own, with
// both hosts recording.
class NestedDelivery : public ::testing::Test {
protected:
    TestStation station{"testdrv_thread.dll"};
    TestHosts hosts{true, true};

    void SetUp() override
    {
        ASSERT_TRUE(station.driver.Loaded());
        ASSERT_NE(nullptr, station.window);
    }
};

// A driver whose XRAYSize waits on its own thread while that thread delivers
// the next image: the image waits for the running intake, then is taken in
// and sent; the hosts get both in arrival order and nothing is leaked.
TEST_F(NestedDelivery, ImageArrivingInsideTheIntakeIsTakenInAfterIt)
{
    HGLOBAL first = MakeImageBlock(40, 30), next = MakeImageBlock(41, 30, 1);
    const std::vector<uint32_t> sent = {BlockCrc(first), BlockCrc(next)};
    auto deliverInsideSize = reinterpret_cast<void(__cdecl *)(HGLOBAL)>(
        reinterpret_cast<void *>(GetProcAddress(station.driver.module, "TD_DeliverInsideSize")));
    ASSERT_NE(nullptr, deliverInsideSize);
    deliverInsideSize(next);
    station.driver.ClearLog();
    MemoryWatch memory;

    SendMessageA(station.window, WM_USER, XRAY_MSG_IMAGE, reinterpret_cast<LPARAM>(first));

    ASSERT_NE(std::string::npos, station.driver.Calls().find("XRAYSize:delivered;")) << station.driver.Calls();
    EXPECT_EQ(sent, ReceivedCrcs('F')) << DescribeEvents();
    EXPECT_EQ(sent, ReceivedCrcs('P')) << DescribeEvents();
    EXPECT_EQ(next, GetCurrentImage());
    const std::vector<HGLOBAL> freed = memory.Freed();
    EXPECT_NE(freed.end(), std::find(freed.begin(), freed.end(), first)) << "the first image was not freed when the second replaced it";
    EXPECT_EQ(2, memory.Allocations());
    ExpectEveryAllocationFreed(memory);
    EXPECT_TRUE(station.modal.records.empty()) << Describe(station.modal.records);
}
