// Delivery to the host windows: the duplicate, the send to the front end and
// the photo server, the tags through a real test driver, the exit notice, a
// host that does not answer, and images that arrive while a send is running.
#include <gtest/gtest.h>

#include <algorithm>

#include "dibbuilder.h"
#include "hosts.h"
#include "iatpatch.h"
#include "memwatch.h"
#include "resource.h"
#include "testhosts.h"
#include "teststation.h"
#include "view.h"
#include "xraydrv.h"

TEST(DuplicateImageBlock, CopiesTheWholeBlockIntoANewMovableBlock)
{
    HGLOBAL source = MakeImageBlock(37, 5, 13);  // odd sizes, 13 bytes past the DIB
    std::vector<BYTE> before = BlockBytes(source);
    MemoryWatch memory;
    ASSERT_TRUE(memory.Installed());

    HGLOBAL copy = DuplicateImageBlock(source);

    ASSERT_NE(nullptr, copy);
    EXPECT_NE(source, copy);
    ASSERT_EQ(1, memory.Allocations());
    EXPECT_EQ(static_cast<UINT>(GMEM_MOVEABLE | GMEM_ZEROINIT), memory.AllocationFlags()[0]);
    EXPECT_EQ(GlobalSize(source), GlobalSize(copy));
    EXPECT_TRUE(BlockBytes(copy) == before) << "the copy differs from the source";
    EXPECT_TRUE(BlockBytes(source) == before) << "the source was changed";
    EXPECT_EQ(0u, LockCount(source));
    EXPECT_EQ(0u, LockCount(copy));
    EXPECT_TRUE(memory.Freed().empty());
    GlobalFree(copy);
    GlobalFree(source);
}

TEST(DuplicateImageBlock, NullAndFailuresGiveNullWithoutLeaking)
{
    MemoryWatch memory;
    ASSERT_TRUE(memory.Installed());
    EXPECT_EQ(nullptr, DuplicateImageBlock(nullptr));
    EXPECT_EQ(0, memory.Allocations());

    HGLOBAL source = MakeImageBlock(8, 8);
    memory.Reset();
    memory.FailAllocations(true);
    EXPECT_EQ(nullptr, DuplicateImageBlock(source));
    memory.FailAllocations(false);

    memory.Reset();
    memory.FailLocks(true);
    EXPECT_EQ(nullptr, DuplicateImageBlock(source));
    memory.FailLocks(false);
    ASSERT_EQ(1, memory.Allocations());
    ASSERT_EQ(1u, memory.Freed().size()) << "the unlockable duplicate must be freed";
    EXPECT_EQ(memory.Allocated()[0], memory.Freed()[0]);
    EXPECT_EQ(0u, LockCount(source));
    GlobalFree(source);
}

TEST(SendImageToHosts, NoImageShowsTheBoxAndSearchesNoWindow)
{
    HWND owner = MakePlainWindow();
    CurrentImage image(nullptr);
    {
        ModalCatcher modal;
        MemoryWatch memory;
        std::string open = OpenHostWindows();
        ASSERT_TRUE(open.empty()) << HostWindowsLeftOpen(open);
        SendImageToHosts(owner);
        ExpectOneErrorBox(modal, owner, "Immagine non acquisita");
        EXPECT_EQ(0, memory.Allocations());
    }
    {
        // With both hosts running, still only the box.
        TestHosts hosts(true, true);
        ModalCatcher modal;
        SendImageToHosts(owner);
        ExpectOneErrorBox(modal, owner, "Immagine non acquisita");
        EXPECT_TRUE(Events().empty()) << DescribeEvents();
    }
    DestroyWindow(owner);
}

TEST(SendImageToHosts, NoHostAllocatesAndSendsNothing)
{
    HWND owner = MakePlainWindow();
    CurrentImage image(MakeImageBlock(64, 32));
    ModalCatcher modal;
    MemoryWatch memory;
    SendImageToHosts(owner);
    EXPECT_EQ(0, memory.Allocations());
    EXPECT_TRUE(memory.Freed().empty());
    EXPECT_TRUE(modal.records.empty()) << Describe(modal.records);
    DestroyWindow(owner);
}

TEST(SendImageToHosts, PhotoServerAloneGetsExactlyOneTransferWithItsTag)
{
    HWND owner = MakePlainWindow();
    CurrentImage image(MakeImageBlock(64, 32, 5));
    TestHosts hosts(false, true);
    ModalCatcher modal;
    SendImageToHosts(owner);
    ASSERT_EQ(1u, Events().size()) << DescribeEvents();
    std::vector<HostEvent> got = CopyEvents('P');
    ASSERT_EQ(1u, got.size()) << DescribeEvents();
    // No driver is loaded here: the pair stays 0.0.
    EXPECT_EQ(0u, got[0].tag);
    EXPECT_EQ(reinterpret_cast<WPARAM>(owner), got[0].wParam);
    EXPECT_EQ(GlobalSize(GetCurrentImage()), got[0].cbData);
    EXPECT_TRUE(got[0].bytes == BlockBytes(GetCurrentImage()));
    EXPECT_TRUE(modal.records.empty()) << Describe(modal.records);
    DestroyWindow(owner);
}

TEST(SendImageToHosts, ServesFrontEndBeforePhotoServerWithOneDuplicateFreedAfterBoth)
{
    HWND owner = MakePlainWindow();
    // 100 bytes past the DIB: the whole block travels, not the DIB's size.
    CurrentImage image(MakeImageBlock(61, 17, 100));
    HGLOBAL current = GetCurrentImage();
    std::vector<BYTE> original = BlockBytes(current);
    TestHosts hosts(true, true);
    MemoryWatch memory;
    SendImageToHosts(owner);

    const std::vector<HostEvent> &seen = Events();
    ASSERT_EQ(3u, seen.size()) << DescribeEvents();
    EXPECT_EQ('F', seen[0].who);
    EXPECT_EQ('P', seen[1].who);
    EXPECT_EQ('X', seen[2].who) << "the duplicate is freed only after both transfers";
    ASSERT_EQ(1, memory.Allocations());
    EXPECT_EQ(reinterpret_cast<WPARAM>(memory.Allocated()[0]), seen[2].wParam);

    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(seen[i].who);
        EXPECT_EQ(static_cast<UINT>(WM_COPYDATA), seen[i].message);
        EXPECT_EQ(reinterpret_cast<WPARAM>(owner), seen[i].wParam);
        EXPECT_EQ(GlobalSize(current), seen[i].cbData);
        EXPECT_TRUE(seen[i].bytes == original);
    }
    EXPECT_EQ(0x000001FFu, seen[0].tag);
    EXPECT_EQ(0u, seen[1].tag);
    // Both read the one duplicate, never the current image itself.
    EXPECT_EQ(seen[0].lpData, seen[1].lpData);
    const void *currentAddress = GlobalLock(current);
    EXPECT_NE(currentAddress, seen[0].lpData);
    GlobalUnlock(current);

    EXPECT_EQ(current, GetCurrentImage());
    EXPECT_TRUE(BlockBytes(current) == original);
    EXPECT_EQ(0u, LockCount(current));
    DestroyWindow(owner);
}

TEST(SendImageToHosts, DuplicateThatCannotBeMadeOrLockedSendsNothing)
{
    HWND owner = MakePlainWindow();
    CurrentImage image(MakeImageBlock(16, 16));
    TestHosts hosts(true, true);
    ModalCatcher modal;
    MemoryWatch memory;

    memory.FailAllocations(true);
    SendImageToHosts(owner);
    memory.FailAllocations(false);
    EXPECT_TRUE(CopyEvents('F').empty() && CopyEvents('P').empty()) << DescribeEvents();

    memory.Reset();
    memory.FailLocks(true);
    SendImageToHosts(owner);
    memory.FailLocks(false);
    EXPECT_TRUE(CopyEvents('F').empty() && CopyEvents('P').empty()) << DescribeEvents();
    EXPECT_EQ(static_cast<size_t>(memory.Allocations()), memory.Freed().size()) << "a block was leaked";

    EXPECT_TRUE(modal.records.empty()) << Describe(modal.records);
    EXPECT_EQ(0u, LockCount(GetCurrentImage()));
    DestroyWindow(owner);
}

// Through the station's own window procedure (F2), with a test driver that
// reports a resolution and one without the export.
TEST(SendImageToHosts, TagsCarryTheDriversResolutionOrZeroWithoutIt)
{
    const struct {
        const char *driverDll;
        bool reportsResolution;
        DWORD frontEndTag, photoServerTag;
        const char *calls;
    } cases[] = {
        // One query per send, with both values cleared beforehand.
        {"testdrv_full.dll", true, 0x001401FFu, 0x000A0014u, "XRAYResolution(0,0);"},
        {"testdrv_noresolution.dll", false, 0x000001FFu, 0u, ""},
    };
    for (const auto &c : cases) {
        TestStation station(c.driverDll);
        ASSERT_TRUE(station.driver.Loaded()) << c.driverDll;
        ASSERT_NE(nullptr, station.window);
        if (c.reportsResolution) {
            station.driver.SetResolution(20.5, 10.0);
        }
        station.driver.ClearLog();
        TestHosts hosts(true, true);
        CurrentImage image(MakeImageBlock(32, 32));

        station.Command(IDM_SEND);

        std::vector<HostEvent> front = CopyEvents('F');
        std::vector<HostEvent> photo = CopyEvents('P');
        ASSERT_EQ(1u, front.size()) << c.driverDll << "\n" << DescribeEvents();
        ASSERT_EQ(1u, photo.size()) << c.driverDll << "\n" << DescribeEvents();
        EXPECT_EQ(c.frontEndTag, front[0].tag) << c.driverDll;
        EXPECT_EQ(c.photoServerTag, photo[0].tag) << c.driverDll;
        EXPECT_EQ(reinterpret_cast<WPARAM>(station.window), front[0].wParam);
        EXPECT_EQ(c.calls, station.driver.Calls());
        EXPECT_TRUE(station.modal.records.empty()) << Describe(station.modal.records);
    }
}

TEST(NotifyPhotoServerOnExit, ClosingTheStationPostsOneNoticeToThePhotoServerOnly)
{
    const UINT deleteResource = RegisterWindowMessageA("WM_DELETE_RESOURCE");
    TestHosts hosts(true, true);
    {
        TestStation station;
        ASSERT_NE(nullptr, station.window);
        DestroyWindow(station.window);
        // Posted, not sent: nothing has arrived before the queue is pumped.
        EXPECT_TRUE(Events().empty()) << DescribeEvents();
        PumpMessages();
    }
    ASSERT_EQ(1u, Events().size()) << DescribeEvents();
    const HostEvent &notice = Events()[0];
    EXPECT_EQ('P', notice.who);
    EXPECT_EQ(deleteResource, notice.message);
    EXPECT_EQ(2u, notice.wParam);
    EXPECT_EQ(0, notice.lParam);
}

TEST(NotifyPhotoServerOnExit, WithOnlyTheFrontEndNothingIsPosted)
{
    TestHosts hosts(true, false);
    NotifyPhotoServerOnExit();
    PumpMessages(50);
    EXPECT_TRUE(Events().empty()) << DescribeEvents();
    {
        TestStation station;
        DestroyWindow(station.window);
        PumpMessages(50);
    }
    EXPECT_TRUE(Events().empty()) << DescribeEvents();
}

// A front end on another thread of this process, which either takes the
// transfer and then stays busy, or stops pumping messages altogether.
struct ThreadHost {
    bool pumps = true;
    HANDLE ready = nullptr, received = nullptr, release = nullptr, thread = nullptr;
    HWND window = nullptr;
    std::vector<BYTE> bytes;
    LONG arrivals = 0;
    LONG busy = 0;  // 1 while the front end holds a transfer
};
static ThreadHost *threadHost;

static LRESULT CALLBACK SlowFrontEndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_COPYDATA) {
        InterlockedIncrement(&threadHost->arrivals);
        if (threadHost->pumps) {
            // Copied while the sender still waits: in-process, lpData is its pointer.
            const auto *record = reinterpret_cast<const COPYDATASTRUCT *>(lParam);
            const BYTE *data = static_cast<const BYTE *>(record->lpData);
            threadHost->bytes.assign(data, data + record->cbData);
            InterlockedExchange(&threadHost->busy, 1);
            SetEvent(threadHost->received);
            // Held until the test lets go; the guard only ends a broken run.
            WaitForSingleObject(threadHost->release, EVENT_GUARD_MS);
            InterlockedExchange(&threadHost->busy, 0);
        }
        return TRUE;
    }
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

static DWORD WINAPI ThreadHostMain(void *parameter)
{
    ThreadHost *host = static_cast<ThreadHost *>(parameter);
    host->window = CreateWindowExA(0, "TLumitaneWnd", "", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                   GetModuleHandleA(nullptr), nullptr);
    SetWindowLongPtrA(host->window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(SlowFrontEndProc));
    SetEvent(host->ready);
    if (!host->pumps) {
        WaitForSingleObject(host->release, EVENT_GUARD_MS);
    }
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        DispatchMessageA(&msg);
    }
    return 0;
}

class SlowHostTest : public ::testing::Test {
protected:
    void Start(bool pumps)
    {
        RegisterHostClasses();
        host.pumps = pumps;
        host.ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        host.received = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        host.release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        threadHost = &host;
        host.thread = CreateThread(nullptr, 0, ThreadHostMain, &host, 0, nullptr);
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(host.ready, EVENT_GUARD_MS));
        ASSERT_NE(nullptr, host.window);
    }
    void TearDown() override
    {
        if (host.thread != nullptr) {
            SetEvent(host.release);
            PostMessageA(host.window, WM_CLOSE, 0, 0);
            WaitForSingleObject(host.thread, EVENT_GUARD_MS);
            CloseHandle(host.thread);
        }
        CloseHandle(host.ready);
        CloseHandle(host.received);
        CloseHandle(host.release);
        threadHost = nullptr;
    }
    ThreadHost host;
};

// Every send the station makes to a host, as the platform was asked it; a
// stretch, when set, replaces the station's bound.
struct SentCopy {
    HWND to;
    UINT flags;
    UINT timeout;
};
static std::vector<SentCopy> sentCopies;
static UINT stretchedTimeout;
static void *realSendMessageTimeout;

static LRESULT WINAPI RecordingSendMessageTimeoutA(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                                   UINT flags, UINT timeout, PDWORD_PTR result)
{
    if (message == WM_COPYDATA) {
        sentCopies.push_back({window, flags, timeout});
        if (stretchedTimeout != 0) {
            timeout = stretchedTimeout;
        }
    }
    using Send = LRESULT(WINAPI *)(HWND, UINT, WPARAM, LPARAM, UINT, UINT, PDWORD_PTR);
    return reinterpret_cast<Send>(realSendMessageTimeout)(window, message, wParam, lParam, flags, timeout, result);
}

class SendRecorder {
public:
    explicit SendRecorder(UINT stretch)
        : patch("user32.dll", "SendMessageTimeoutA", reinterpret_cast<void *>(RecordingSendMessageTimeoutA))
    {
        sentCopies.clear();
        stretchedTimeout = stretch;
        realSendMessageTimeout = patch.original;
    }
    ~SendRecorder() { stretchedTimeout = 0; }
    bool Installed() const { return patch.original != nullptr; }

private:
    ImportPatch patch;
};

TEST_F(SlowHostTest, BusyFrontEndIsWaitedForOnlyUpToTheBoundAndThePhotoServerIsStillServed)
{
    Start(true);
    HWND owner = MakePlainWindow();
    CurrentImage image(MakeImageBlock(40, 30, 3));
    std::vector<BYTE> original = BlockBytes(GetCurrentImage());
    TestHosts hosts(false, true);
    MemoryWatch memory;
    SendRecorder sends(0);
    ASSERT_TRUE(sends.Installed());

    SendImageToHosts(owner);

    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(host.received, 0)) << "the front end never got the transfer";
    EXPECT_TRUE(host.bytes == original);
    // Bounded: the station moved on while the front end still held it.
    EXPECT_EQ(1, host.busy) << "the send waited until the front end let go";
    // Each host was given the whole bound, and one that is hung none of it.
    ASSERT_EQ(2u, sentCopies.size());
    EXPECT_EQ(host.window, sentCopies[0].to);
    for (const SentCopy &sent : sentCopies) {
        EXPECT_EQ(HOST_REPLY_TIMEOUT_MS, sent.timeout);
        EXPECT_EQ(static_cast<UINT>(SMTO_ABORTIFHUNG), sent.flags & SMTO_ABORTIFHUNG);
    }
    std::vector<HostEvent> photo = CopyEvents('P');
    ASSERT_EQ(1u, photo.size()) << DescribeEvents();
    EXPECT_TRUE(photo[0].bytes == original);
    ASSERT_EQ(1, memory.Allocations());
    ASSERT_EQ(1u, memory.Freed().size());
    EXPECT_EQ(memory.Allocated()[0], memory.Freed()[0]);
    DestroyWindow(owner);
}

TEST_F(SlowHostTest, FrontEndThatStoppedPumpingIsSkippedAtOnce)
{
    Start(false);
    HWND owner = MakePlainWindow();
    CurrentImage image(MakeImageBlock(40, 30));
    TestHosts hosts(false, true);
    // The system takes a thread for hung after 5 s without pumping; the
    // guard only ends a broken run.
    DWORD start = GetTickCount();
    while (!IsHungAppWindow(host.window) && GetTickCount() - start < EVENT_GUARD_MS) {
        Sleep(100);
    }
    ASSERT_TRUE(IsHungAppWindow(host.window)) << "the front end's thread is not taken for hung";
    // The bound is stretched past the hung thread's own guard: a station
    // that waited for it would get its transfer through once the thread
    // pumps again, and only one that skipped it sees no arrival, however
    // slow the machine.
    SendRecorder sends(2 * EVENT_GUARD_MS);
    ASSERT_TRUE(sends.Installed());

    SendImageToHosts(owner);

    EXPECT_EQ(0, host.arrivals) << "the station waited for a front end that stopped pumping";
    EXPECT_EQ(2u, sentCopies.size());
    EXPECT_EQ(1u, CopyEvents('P').size()) << DescribeEvents();
    DestroyWindow(owner);
}

// A driver delivering from a thread of its own while a host is slow. The
// front end, handling the first image, lets the driver deliver the nested
// images and waits for it, taking in the messages sent to its thread
// meanwhile, as any window procedure that waits on another thread does:
// those images reach the station while its send of the first one is still
// in progress.
static const TestDriver *nestedDriver;
static std::vector<HGLOBAL> nestedBlocks;
static std::vector<HGLOBAL> lateBlocks;  // delivered while the second image is sent
static int frontEndCopies;
static HWND destroyAfterDelivery;

static void SlowFrontEnd(const HostEvent &event)
{
    if (event.who != 'F') {
        return;
    }
    if (++frontEndCopies == 2 && !lateBlocks.empty()) {
        EXPECT_TRUE(nestedDriver->DeliverFromThread(lateBlocks)) << "the driver's thread never finished";
    }
    if (frontEndCopies != 1) {
        return;
    }
    EXPECT_TRUE(nestedDriver->DeliverFromThread(nestedBlocks)) << "the driver's thread never finished";
    if (destroyAfterDelivery != nullptr) {
        DestroyWindow(destroyAfterDelivery);
    }
}

class NestedDelivery : public ::testing::Test {
protected:
    TestStation station{"testdrv_thread.dll"};
    TestHosts hosts{true, true};
    HGLOBAL first = nullptr;
    std::vector<uint32_t> sent;  // CRC of each image in arrival order

    void SetUp() override
    {
        ASSERT_TRUE(station.driver.Loaded());
        ASSERT_NE(nullptr, station.window);
        nestedDriver = &station.driver;
        lateBlocks.clear();
        frontEndCopies = 0;
        destroyAfterDelivery = nullptr;
        SetHostCopyHook(SlowFrontEnd);
    }
    // The first image, delivered from this thread, and `nested` images of
    // other sizes, and so other bytes, that the driver's thread delivers.
    void MakeImages(int nested)
    {
        first = MakeImageBlock(40, 30);
        sent = {BlockCrc(first)};
        nestedBlocks.clear();
        for (int i = 1; i <= nested; ++i) {
            nestedBlocks.push_back(MakeImageBlock(40 + i, 30, i));
            sent.push_back(BlockCrc(nestedBlocks.back()));
        }
    }
    void DeliverFirst()
    {
        SendMessageA(station.window, WM_USER, XRAY_MSG_IMAGE, reinterpret_cast<LPARAM>(first));
    }
};

TEST_F(NestedDelivery, ImagesArrivingDuringASendReachBothHostsOnceInArrivalOrder)
{
    MakeImages(2);
    MemoryWatch memory;
    ASSERT_TRUE(memory.Installed());

    DeliverFirst();

    EXPECT_EQ(sent, ReceivedCrcs('F')) << DescribeEvents();
    EXPECT_EQ(sent, ReceivedCrcs('P')) << DescribeEvents();
    // Each image goes to the front end and then to the photo server before
    // the next one goes anywhere.
    std::string order;
    for (const HostEvent &e : Events()) {
        if (e.message == WM_COPYDATA) {
            order += e.who;
        }
    }
    EXPECT_EQ("FPFPFP", order) << DescribeEvents();
    for (const HostEvent &e : CopyEvents('P')) {
        EXPECT_EQ(reinterpret_cast<WPARAM>(station.window), e.wParam);
    }
    // One duplicate per image, each freed once both hosts had it.
    EXPECT_EQ(3, memory.Allocations());
    ExpectEveryAllocationFreed(memory);
    EXPECT_EQ(0u, PendingSendCount());
    // Shown as usual: the newest image is the current one.
    EXPECT_EQ(nestedBlocks.back(), GetCurrentImage());
    EXPECT_TRUE(station.modal.records.empty()) << Describe(station.modal.records);
}

// An image that arrives while the waiting ones are being sent, once the
// first of them has left the queue, still goes after all of them.
TEST_F(NestedDelivery, ImageArrivingWhileTheQueueIsSentGoesLast)
{
    MakeImages(2);
    HGLOBAL late = MakeImageBlock(70, 30, 5);
    lateBlocks = {late};
    sent.push_back(BlockCrc(late));
    MemoryWatch memory;

    DeliverFirst();

    EXPECT_EQ(sent, ReceivedCrcs('F')) << DescribeEvents();
    EXPECT_EQ(sent, ReceivedCrcs('P')) << DescribeEvents();
    EXPECT_EQ(4, memory.Allocations());
    ExpectEveryAllocationFreed(memory);
    EXPECT_EQ(0u, PendingSendCount());
    EXPECT_EQ(late, GetCurrentImage());
}

// Past the bound an image is sent at once, nested, rather than held back or
// dropped: it overtakes the waiting ones, but every image reaches both hosts
// exactly once and the waiting ones keep their order.
TEST_F(NestedDelivery, ImagesPastTheBoundAreSentAtOnceAndNoneIsLost)
{
    const int nested = static_cast<int>(MAX_PENDING_SENDS) + 2;
    MakeImages(nested);
    MemoryWatch memory;

    DeliverFirst();

    std::vector<uint32_t> overtaking(sent.begin() + 1 + MAX_PENDING_SENDS, sent.end());
    std::vector<uint32_t> waited(sent.begin() + 1, sent.begin() + 1 + MAX_PENDING_SENDS);
    std::vector<uint32_t> frontEnd = {sent[0]}, photoServer = overtaking;
    frontEnd.insert(frontEnd.end(), overtaking.begin(), overtaking.end());
    frontEnd.insert(frontEnd.end(), waited.begin(), waited.end());
    photoServer.push_back(sent[0]);
    photoServer.insert(photoServer.end(), waited.begin(), waited.end());
    EXPECT_EQ(frontEnd, ReceivedCrcs('F')) << DescribeEvents();
    EXPECT_EQ(photoServer, ReceivedCrcs('P')) << DescribeEvents();
    EXPECT_EQ(nested + 1, memory.Allocations());
    ExpectEveryAllocationFreed(memory);
    EXPECT_EQ(0u, PendingSendCount());
}

// The station destroyed while nested images wait: the image being sent
// finishes, but the waiting ones are freed and sent nowhere, so that nothing
// reaches a host after the exit notice.
TEST_F(NestedDelivery, ImagesWaitingWhenTheStationIsDestroyedAreFreedAndSentNowhere)
{
    MakeImages(2);
    destroyAfterDelivery = station.window;
    MemoryWatch memory;

    DeliverFirst();
    PumpMessages();

    EXPECT_FALSE(IsWindow(station.window));
    const std::vector<uint32_t> firstOnly = {sent[0]};
    EXPECT_EQ(firstOnly, ReceivedCrcs('F')) << DescribeEvents();
    EXPECT_EQ(firstOnly, ReceivedCrcs('P')) << DescribeEvents();
    ASSERT_FALSE(Events().empty());
    EXPECT_EQ(DeleteResourceMessage(), Events().back().message) << DescribeEvents();
    EXPECT_EQ(3, memory.Allocations());
    ExpectEveryAllocationFreed(memory);
    EXPECT_EQ(0u, PendingSendCount());
    // The destruction freed the current image, the newest one.
    EXPECT_EQ(nullptr, GetCurrentImage());
    const std::vector<HGLOBAL> freed = memory.Freed();
    EXPECT_NE(freed.end(), std::find(freed.begin(), freed.end(), nestedBlocks.back()));
}
