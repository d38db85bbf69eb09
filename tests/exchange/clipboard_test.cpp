// Copy and paste of the current image through the clipboard, driven through
// the station's own window procedure (Ctrl+C, Ctrl+V commands).
#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "clipguard.h"
#include "dibbuilder.h"
#include "hosts.h"
#include "iatpatch.h"
#include "memwatch.h"
#include "rangerecorder.h"
#include "resource.h"
#include "testhosts.h"
#include "teststation.h"
#include "view.h"
#include "xraydrv.h"

static std::vector<BYTE> TextBytes(const char *text) { return std::vector<BYTE>(text, text + strlen(text) + 1); }

// A header and nothing sound after it: `total` bytes of 0x5A from the end
// of its first 40 bytes on.
static std::vector<BYTE> HeaderBytes(LONG width, LONG height, size_t total, DWORD biSize = 40,
                                     DWORD compression = BI_RGB, DWORD sizeImage = 0)
{
    DibFields fields;
    fields.width = width;
    fields.height = height;
    fields.headerSize = biSize;
    fields.compression = compression;
    fields.sizeImage = sizeImage;
    fields.tableEntries = 0;
    fields.imageBytes = 0;
    fields.totalBytes = static_cast<int64_t>(total);
    return BuildDib(fields, nullptr, nullptr, [](size_t) { return uint8_t(0x5A); });
}

static RECT ClientOf(HWND window)
{
    RECT client = {};
    GetClientRect(window, &client);
    return client;
}

static void Resize(HWND window, int width, int height)
{
    SetWindowPos(window, nullptr, 0, 0, width, height, SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOMOVE);
    PumpMessages();
}

// The station, the clipboard as found, and both hosts recording.
class ClipboardTest : public ::testing::Test {
protected:
    ClipboardGuard clipboard;
    TestStation station;
    TestHosts hosts{true, true};
    HWND other = MakePlainWindow();  // stands for another program on the desktop

    void TearDown() override { DestroyWindow(other); }
};

TEST_F(ClipboardTest, CopyWithNoImageShowsTheBoxAndLeavesTheClipboardAlone)
{
    ASSERT_TRUE(PutOnClipboard(other, CF_TEXT, TextBytes("referto 42")));
    CurrentImage none(nullptr);

    station.Command(IDM_COPY);

    ExpectOneErrorBox(station.modal, station.window, "Immagine non acquisita");
    bool present = false;
    std::vector<BYTE> text = ReadClipboard(CF_TEXT, &present);
    EXPECT_TRUE(present);
    EXPECT_STREQ("referto 42", reinterpret_cast<const char *>(text.data()));
    EXPECT_EQ(other, GetClipboardOwner());
    EXPECT_FALSE(IsClipboardFormatAvailable(CF_DIB));
}

TEST_F(ClipboardTest, CopyThenPasteMakesAnEqualCopyCurrentAndServesTheHosts)
{
    // Both bars showing before the paste, so that no bar appears or goes.
    Resize(station.window, 300, 300);
    CurrentImage image(MakeImageBlock(1200, 1500, 24));
    HGLOBAL copied = GetCurrentImage();
    std::vector<BYTE> original = BlockBytes(copied);

    station.Command(IDM_COPY);

    EXPECT_EQ(station.window, GetClipboardOwner());
    bool present = false;
    HGLOBAL onClipboard = nullptr;
    EXPECT_TRUE(ReadClipboard(CF_DIB, &present, &onClipboard) == original);
    ASSERT_TRUE(present);
    EXPECT_NE(copied, onClipboard);
    EXPECT_EQ(copied, GetCurrentImage()) << "copy must not change the current image";
    EXPECT_TRUE(Events().empty()) << DescribeEvents();

    RECT client = ClientOf(station.window);
    RangeRecorder ranges;
    ASSERT_TRUE(ranges.Installed());
    MemoryWatch memory;
    station.Command(IDM_PASTE);
    std::vector<HGLOBAL> freed = memory.Freed();
    std::vector<HGLOBAL> allocated = memory.Allocated();

    HGLOBAL pasted = GetCurrentImage();
    ASSERT_NE(nullptr, pasted);
    EXPECT_NE(onClipboard, pasted);
    EXPECT_TRUE(BlockBytes(pasted) == original);
    EXPECT_NE(copied, pasted);
    EXPECT_EQ(original.size(), GlobalSize(pasted));
    EXPECT_EQ(0u, GlobalFlags(pasted) & GMEM_LOCKCOUNT) << "paste left the new image locked";
    // Two blocks made: the paste's duplicate, kept, and the send's, freed;
    // besides that only the old image was freed, never the clipboard's block.
    ASSERT_EQ(2u, allocated.size());
    EXPECT_EQ(pasted, allocated[0]);
    ASSERT_EQ(2u, freed.size());
    EXPECT_EQ(copied, freed[0]);
    EXPECT_EQ(allocated[1], freed[1]);

    std::vector<RangeCall> calls = ranges.TopLevel();
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ(SB_VERT, calls[0].bar);
    EXPECT_EQ(0, calls[0].minimum);
    EXPECT_EQ(1500 - client.bottom, calls[0].maximum);
    EXPECT_FALSE(calls[0].redraw);
    EXPECT_EQ(SB_HORZ, calls[1].bar);
    EXPECT_EQ(0, calls[1].minimum);
    EXPECT_EQ(1200 - client.right, calls[1].maximum);
    EXPECT_FALSE(calls[1].redraw);
    int low = -1, high = -1;
    GetScrollRange(station.window, SB_VERT, &low, &high);
    EXPECT_EQ(0, low);
    EXPECT_EQ(1500 - client.bottom, high);
    GetScrollRange(station.window, SB_HORZ, &low, &high);
    EXPECT_EQ(0, low);
    EXPECT_EQ(1200 - client.right, high);

    std::vector<HostEvent> front = CopyEvents('F');
    std::vector<HostEvent> photo = CopyEvents('P');
    ASSERT_EQ(1u, front.size()) << DescribeEvents();
    ASSERT_EQ(1u, photo.size()) << DescribeEvents();
    EXPECT_TRUE(front[0].bytes == original);
    EXPECT_TRUE(photo[0].bytes == original);
    // The clipboard was closed before the hosts were served.
    EXPECT_EQ(nullptr, front[0].clipboardOpenBy);
    EXPECT_EQ(nullptr, photo[0].clipboardOpenBy);
    EXPECT_EQ(nullptr, GetOpenClipboardWindow());
    EXPECT_TRUE(station.modal.records.empty()) << Describe(station.modal.records);
}

TEST_F(ClipboardTest, CopyMakesItsDuplicateInTheOpenEmptiedClipboardAndOffersOnlyTheDib)
{
    ASSERT_TRUE(PutOnClipboard(other, CF_TEXT, TextBytes("da sostituire")));
    CurrentImage image(MakeImageBlock(20, 10, 7));
    std::vector<BYTE> original = BlockBytes(GetCurrentImage());
    MemoryWatch memory;

    station.Command(IDM_COPY);

    ASSERT_EQ(1, memory.Allocations());
    EXPECT_EQ(station.window, memory.ClipboardOpenAtAllocation()[0]);
    EXPECT_EQ(0, memory.ClipboardFormatsAtAllocation()[0]);
    EXPECT_TRUE(memory.Freed().empty()) << "the block given to the clipboard is the clipboard's";
    EXPECT_EQ(nullptr, GetOpenClipboardWindow());
    EXPECT_EQ(station.window, GetClipboardOwner());
    EXPECT_FALSE(IsClipboardFormatAvailable(CF_TEXT));
    bool present = false;
    EXPECT_TRUE(ReadClipboard(CF_DIB, &present) == original);
    EXPECT_TRUE(present);
}

TEST_F(ClipboardTest, PasteOfASensorSizedDibGivesTheRangesOfADriverImage)
{
    Resize(station.window, 300, 300);
    HGLOBAL dib = MakeImageBlock(512, 768);
    ASSERT_TRUE(PutOnClipboard(other, CF_DIB, BlockBytes(dib)));
    GlobalFree(dib);
    CurrentImage none(nullptr);

    station.Command(IDM_PASTE);
    int pastedVertical[2], pastedHorizontal[2];
    GetScrollRange(station.window, SB_VERT, &pastedVertical[0], &pastedVertical[1]);
    GetScrollRange(station.window, SB_HORZ, &pastedHorizontal[0], &pastedHorizontal[1]);

    SendMessageA(station.window, WM_USER, 301, reinterpret_cast<LPARAM>(MakeImageBlock(512, 768)));
    int driverVertical[2], driverHorizontal[2];
    GetScrollRange(station.window, SB_VERT, &driverVertical[0], &driverVertical[1]);
    GetScrollRange(station.window, SB_HORZ, &driverHorizontal[0], &driverHorizontal[1]);

    RECT client = ClientOf(station.window);
    EXPECT_EQ(768 - client.bottom, pastedVertical[1]);
    EXPECT_EQ(512 - client.right, pastedHorizontal[1]);
    EXPECT_EQ(driverVertical[0], pastedVertical[0]);
    EXPECT_EQ(driverVertical[1], pastedVertical[1]);
    EXPECT_EQ(driverHorizontal[0], pastedHorizontal[0]);
    EXPECT_EQ(driverHorizontal[1], pastedHorizontal[1]);
}

TEST_F(ClipboardTest, PasteOfTextOnlyDoesNothing)
{
    ASSERT_TRUE(PutOnClipboard(other, CF_TEXT, TextBytes("solo testo")));
    CurrentImage image(MakeImageBlock(16, 16));
    HGLOBAL before = GetCurrentImage();
    std::vector<BYTE> bytes = BlockBytes(before);
    RangeRecorder ranges;

    station.Command(IDM_PASTE);

    EXPECT_EQ(before, GetCurrentImage());
    EXPECT_TRUE(BlockBytes(GetCurrentImage()) == bytes);
    EXPECT_TRUE(ranges.All().empty());
    EXPECT_TRUE(Events().empty()) << DescribeEvents();
    EXPECT_TRUE(station.modal.records.empty()) << Describe(station.modal.records);
    EXPECT_EQ(other, GetClipboardOwner());
}

TEST_F(ClipboardTest, PasteWithNoCurrentImageAdoptsTheDibSilently)
{
    HGLOBAL dib = MakeImageBlock(100, 80);
    std::vector<BYTE> bytes = BlockBytes(dib);
    GlobalFree(dib);
    ASSERT_TRUE(PutOnClipboard(other, CF_DIB, bytes));
    CurrentImage none(nullptr);

    station.Command(IDM_PASTE);

    ASSERT_NE(nullptr, GetCurrentImage());
    EXPECT_TRUE(BlockBytes(GetCurrentImage()) == bytes);
    EXPECT_TRUE(station.modal.records.empty()) << Describe(station.modal.records);
    EXPECT_EQ(1u, CopyEvents('F').size()) << DescribeEvents();
    EXPECT_EQ(1u, CopyEvents('P').size()) << DescribeEvents();
}

TEST_F(ClipboardTest, PasteSmallerThanTheClientPassesNegativeMaximaAndHidesTheBars)
{
    Resize(station.window, 1200, 1000);
    RECT client = ClientOf(station.window);
    ASSERT_GT(client.right, 100);
    ASSERT_GT(client.bottom, 50);
    HGLOBAL dib = MakeImageBlock(100, 50);
    ASSERT_TRUE(PutOnClipboard(other, CF_DIB, BlockBytes(dib)));
    GlobalFree(dib);
    CurrentImage none(nullptr);
    RangeRecorder ranges;

    station.Command(IDM_PASTE);

    std::vector<RangeCall> calls = ranges.TopLevel();
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ(SB_VERT, calls[0].bar);
    EXPECT_EQ(50 - client.bottom, calls[0].maximum);
    EXPECT_EQ(SB_HORZ, calls[1].bar);
    EXPECT_EQ(100 - client.right, calls[1].maximum);
    // What the platform makes of a maximum below the minimum: an empty range
    // and no bar.
    int low = -1, high = -1;
    GetScrollRange(station.window, SB_VERT, &low, &high);
    EXPECT_EQ(0, low);
    EXPECT_EQ(0, high);
    GetScrollRange(station.window, SB_HORZ, &low, &high);
    EXPECT_EQ(0, low);
    EXPECT_EQ(0, high);
    LONG style = GetWindowLongA(station.window, GWL_STYLE);
    EXPECT_EQ(0, style & (WS_VSCROLL | WS_HSCROLL));
}

TEST_F(ClipboardTest, ExtremeHeaderSizesDoNotOverflowTheMaxima)
{
    RECT client = ClientOf(station.window);
    ASSERT_GT(client.bottom, 0);
    ASSERT_GT(client.right, 0);
    // A sound run-length header, its table and 8 declared bytes, which is
    // adopted though never drawn.
    ASSERT_TRUE(PutOnClipboard(other, CF_DIB,
                               HeaderBytes(INT_MAX, INT_MIN + 1, 40 + 1024 + 8, 40, BI_RLE8, 8)));
    CurrentImage none(nullptr);
    RangeRecorder ranges;

    station.Command(IDM_PASTE);

    std::vector<RangeCall> calls = ranges.TopLevel();
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ(INT_MIN, calls[0].maximum);
    EXPECT_EQ(INT_MAX - client.right, calls[1].maximum);
    EXPECT_NE(nullptr, GetCurrentImage());
}

TEST_F(ClipboardTest, BlockThatDoesNotFitItsHeaderIsRefused)
{
    CurrentImage image(MakeImageBlock(16, 16));
    HGLOBAL before = GetCurrentImage();
    std::vector<BYTE> oneByteShort = BlockBytes(before);
    oneByteShort.pop_back();
    const std::vector<std::vector<BYTE>> corrupt = {
        HeaderBytes(2000, 2000, 12),       // short of the 40-byte header
        HeaderBytes(2000, 2000, 39),
        HeaderBytes(2000, 2000, 100, 124), // short of the longer header it declares
        HeaderBytes(2000, 2000, 40),       // a header and nothing else
        HeaderBytes(4000, 4000, 1328),     // a table and a few rows of 4000 by 4000
        HeaderBytes(16, 16, 1400, 64),     // a header length no DIB has
        HeaderBytes(4096, 4096, 40, 40, BI_RLE8),  // run lengths: no table, no bits
        HeaderBytes(4096, 4096, 40, 40, BI_PNG),   // PNG: the header and nothing else
        HeaderBytes(16, 16, 1400, 40, BI_RLE8),    // run lengths that declare no size
        oneByteShort,
    };
    for (const std::vector<BYTE> &bytes : corrupt) {
        SCOPED_TRACE(bytes.size());
        Events().clear();
        ASSERT_TRUE(PutOnClipboard(other, CF_DIB, bytes));
        RangeRecorder ranges;
        MemoryWatch memory;
        station.Command(IDM_PASTE);
        EXPECT_EQ(before, GetCurrentImage());
        EXPECT_TRUE(ranges.All().empty());
        EXPECT_TRUE(CopyEvents('F').empty() && CopyEvents('P').empty()) << DescribeEvents();
        ASSERT_EQ(1, memory.Allocations());
        EXPECT_EQ(station.window, memory.ClipboardOpenAtAllocation()[0])
            << "the clipboard's block is duplicated while the clipboard is open";
        ASSERT_EQ(1u, memory.Freed().size()) << "the refused duplicate must be freed";
        EXPECT_EQ(memory.Allocated()[0], memory.Freed()[0]);
    }
    EXPECT_TRUE(station.modal.records.empty()) << Describe(station.modal.records);
}

TEST_F(ClipboardTest, TheClipboardKeepsItsOwnBlockAcrossTwoPastes)
{
    HGLOBAL dib = MakeImageBlock(70, 90, 9);
    std::vector<BYTE> bytes = BlockBytes(dib);
    GlobalFree(dib);
    ASSERT_TRUE(PutOnClipboard(other, CF_DIB, bytes));
    CurrentImage none(nullptr);

    station.Command(IDM_PASTE);
    HGLOBAL first = GetCurrentImage();
    bool present = false;
    HGLOBAL held = nullptr;
    EXPECT_TRUE(ReadClipboard(CF_DIB, &present, &held) == bytes) << "the clipboard's block was changed";
    ASSERT_TRUE(present);
    EXPECT_NE(held, first);
    EXPECT_EQ(0u, GlobalFlags(held) & GMEM_LOCKCOUNT);

    Events().clear();
    station.Command(IDM_PASTE);
    HGLOBAL second = GetCurrentImage();
    ASSERT_NE(nullptr, second);
    EXPECT_TRUE(BlockBytes(second) == bytes);
    EXPECT_TRUE(ReadClipboard(CF_DIB, &present, &held) == bytes);
    EXPECT_EQ(1u, CopyEvents('F').size()) << DescribeEvents();
    EXPECT_EQ(1u, CopyEvents('P').size()) << DescribeEvents();
    EXPECT_EQ(other, GetClipboardOwner());
    EXPECT_TRUE(station.modal.records.empty()) << Describe(station.modal.records);
}

TEST_F(ClipboardTest, FailedDuplicatesNeverChangeTheImageAndCopyLeavesAnEmptyClipboard)
{
    HGLOBAL dib = MakeImageBlock(30, 30);
    ASSERT_TRUE(PutOnClipboard(other, CF_DIB, BlockBytes(dib)));
    GlobalFree(dib);
    CurrentImage image(MakeImageBlock(16, 16));
    HGLOBAL before = GetCurrentImage();
    {
        MemoryWatch memory;
        memory.FailAllocations(true);
        station.Command(IDM_PASTE);
        memory.FailAllocations(false);
        EXPECT_EQ(before, GetCurrentImage());
        // Closed by the paste itself, before anything else opens it again.
        EXPECT_EQ(nullptr, GetOpenClipboardWindow()) << "a failed paste left the clipboard open";

        memory.FailLocks(true);
        station.Command(IDM_PASTE);
        memory.FailLocks(false);
        EXPECT_EQ(before, GetCurrentImage());
        EXPECT_EQ(nullptr, GetOpenClipboardWindow()) << "a failed paste left the clipboard open";
        EXPECT_EQ(static_cast<size_t>(memory.Allocations()), memory.Freed().size());
        EXPECT_TRUE(CopyEvents('F').empty() && CopyEvents('P').empty()) << DescribeEvents();

        memory.FailAllocations(true);
        station.Command(IDM_COPY);
        memory.FailAllocations(false);
    }
    EXPECT_EQ(station.window, GetClipboardOwner());
    EXPECT_FALSE(IsClipboardFormatAvailable(CF_DIB));
    EXPECT_FALSE(IsClipboardFormatAvailable(CF_TEXT));
    EXPECT_EQ(before, GetCurrentImage());
    EXPECT_TRUE(station.modal.records.empty()) << Describe(station.modal.records);
}

static HANDLE WINAPI RefusingSetClipboardData(UINT, HANDLE)
{
    return nullptr;
}

// A block the clipboard refuses is still the station's: freed, not leaked.
TEST_F(ClipboardTest, CopyFreesTheDuplicateTheClipboardRefuses)
{
    CurrentImage image(MakeImageBlock(16, 16));
    MemoryWatch memory;
    {
        ImportPatch refuse("user32.dll", "SetClipboardData", reinterpret_cast<void *>(RefusingSetClipboardData));
        ASSERT_NE(nullptr, refuse.original);
        station.Command(IDM_COPY);
    }
    ASSERT_EQ(1, memory.Allocations());
    EXPECT_EQ(memory.Allocated(), memory.Freed());
    EXPECT_FALSE(IsClipboardFormatAvailable(CF_DIB));
}

// The previous clipboard owner is slow to let go: while EmptyClipboard waits
// for its WM_DESTROYCLIPBOARD, the driver's thread delivers a new image by
// SendMessageA and the station takes it in, freeing the image being copied.
static const TestDriver *ownerDriver;
static HGLOBAL imageForOwner;
static WNDPROC plainProc;

static LRESULT CALLBACK SlowOwnerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_DESTROYCLIPBOARD && imageForOwner != nullptr) {
        const std::vector<HGLOBAL> blocks = {imageForOwner};
        imageForOwner = nullptr;
        EXPECT_TRUE(ownerDriver->DeliverFromThread(blocks));
    }
    return CallWindowProcA(plainProc, window, message, wParam, lParam);
}

TEST(ClipboardCopy, TakesTheImageThatIsCurrentOnceTheClipboardIsEmptied)
{
    ClipboardGuard clipboard;
    TestStation station("testdrv_thread.dll");
    ASSERT_NE(nullptr, station.window);
    HWND other = MakePlainWindow();
    ASSERT_TRUE(PutOnClipboard(other, CF_TEXT, TextBytes("referto 7")));
    SendMessageA(station.window, WM_USER, XRAY_MSG_IMAGE, reinterpret_cast<LPARAM>(MakeImageBlock(30, 20)));
    HGLOBAL newer = MakeImageBlock(50, 40, 9);
    const std::vector<BYTE> expected = BlockBytes(newer);
    ownerDriver = &station.driver;
    imageForOwner = newer;
    plainProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(other, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(SlowOwnerProc)));

    station.Command(IDM_COPY);

    SetWindowLongPtrA(other, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(plainProc));
    DestroyWindow(other);
    EXPECT_EQ(nullptr, imageForOwner) << "the previous owner was never asked to let go";
    EXPECT_EQ(newer, GetCurrentImage());
    bool present = false;
    EXPECT_TRUE(ReadClipboard(CF_DIB, &present) == expected) << "the clipboard does not hold the new image";
    EXPECT_TRUE(present);
    EXPECT_TRUE(station.modal.records.empty()) << Describe(station.modal.records);
}
