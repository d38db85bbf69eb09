// Posting: every image is a copy of one template block (a grey DIB of the
// size asked for) with its sequence number in the last four bytes, so its
// CRC-32 is the template's running CRC continued over those four bytes. The
// post is stamped with QueryPerformanceCounter just before PostMessageA.
#include "drvpost.h"

#include <cstdint>
#include <cstring>

#include "benchdrv.h"
#include "crc32.h"
#include "dibbytes.h"
#include "drvwindow.h"
#include "xraydrv.h"

// What XRAYSize reports; the worker changes it only between images.
static volatile LONG sensorWidth = 512;
static volatile LONG sensorHeight = 768;

// The template block and the CRC-32 of all but its last four bytes.
static std::vector<BYTE> templateBlock;
static int templateWidth;
static int templateHeight;
static uint32_t templatePrefixCrc;

const std::vector<BYTE> &TemplateBlock() { return templateBlock; }

int TemplateWidth() { return templateWidth; }

int TemplateHeight() { return templateHeight; }

void SensorSize(int *width, int *height)
{
    *width = sensorWidth;
    *height = sensorHeight;
}

static void MakeTemplate(int width, int height)
{
    if (width == templateWidth && height == templateHeight) {
        return;
    }
    const size_t stride = (static_cast<size_t>(width) + 3u) & ~size_t{3};
    const size_t bitsSize = stride * static_cast<size_t>(height);
    templateBlock.assign(sizeof(BITMAPINFOHEADER) + COLOUR_TABLE_BYTES + bitsSize, 0);
    BITMAPINFOHEADER *header = reinterpret_cast<BITMAPINFOHEADER *>(templateBlock.data());
    header->biSize = sizeof(BITMAPINFOHEADER);
    header->biWidth = width;
    header->biHeight = height;
    header->biPlanes = 1;
    header->biBitCount = 8;
    header->biCompression = BI_RGB;
    header->biSizeImage = static_cast<DWORD>(bitsSize);
    RGBQUAD *table = reinterpret_cast<RGBQUAD *>(templateBlock.data() + sizeof(BITMAPINFOHEADER));
    for (int i = 0; i < 256; ++i) {
        table[i].rgbRed = table[i].rgbGreen = table[i].rgbBlue = static_cast<BYTE>(i);
    }
    BYTE *bits = templateBlock.data() + sizeof(BITMAPINFOHEADER) + COLOUR_TABLE_BYTES;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            bits[y * stride + x] = static_cast<BYTE>((x + 2 * y) ^ (y >> 3));
        }
    }
    templatePrefixCrc = Crc32(templateBlock.data(), templateBlock.size() - 4);
    templateWidth = width;
    templateHeight = height;
    InterlockedExchange(&sensorWidth, width);
    InterlockedExchange(&sensorHeight, height);
}

// Images posted in this command that have not yet reached both hosts.
static LONG Outstanding(LONG posted, const LONG base[HOST_COUNT])
{
    const BenchShared *shared = SharedState();
    LONG least = posted;
    for (int host = 0; host < HOST_COUNT; ++host) {
        LONG got = shared->arrivals[host] - base[host];
        least = got < least ? got : least;
    }
    return posted - least;
}

// Waits until at most `limit` images are outstanding; false when nothing
// moved for STALL_LIMIT_MS or the driver is closing.
static bool WaitOutstanding(LONG posted, const LONG base[HOST_COUNT], LONG limit)
{
    LONG last = Outstanding(posted, base);
    DWORD since = GetTickCount();
    while (last > limit) {
        if (Stopping()) {
            return false;
        }
        Sleep(1);
        LONG now = Outstanding(posted, base);
        if (now != last) {
            last = now;
            since = GetTickCount();
        } else if (GetTickCount() - since > STALL_LIMIT_MS) {
            return false;
        }
    }
    return true;
}

static bool PostOne()
{
    BenchShared *shared = SharedState();
    const size_t size = templateBlock.size();
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, size);
    if (block == nullptr) {
        return false;
    }
    BYTE *data = static_cast<BYTE *>(GlobalLock(block));
    if (data == nullptr) {
        GlobalFree(block);
        return false;
    }
    const LONG seq = InterlockedIncrement(&shared->nextSeq);
    const uint32_t seqBytes = static_cast<uint32_t>(seq);
    memcpy(data, templateBlock.data(), size - 4);
    memcpy(data + size - 4, &seqBytes, 4);
    GlobalUnlock(block);
    BenchPost post = {};
    post.crc = Crc32(&seqBytes, 4, templatePrefixCrc);
    post.size = static_cast<uint32_t>(GlobalSize(block));
    post.role = OwnRole();
    if (seq >= MAX_POSTS) {
        GlobalFree(block);
        return false;
    }
    post.stamp = Now();
    shared->posts[seq] = post;
    if (!PostMessageA(ProgramWindow(), WM_USER, XRAY_MSG_IMAGE, reinterpret_cast<LPARAM>(block))) {
        GlobalFree(block);
        return false;
    }
    return true;
}

bool PostImages(BenchRoleState &command)
{
    MakeTemplate(command.width, command.height);
    command.roadTicks = command.sendTicks = command.copiedBytes = 0;
    command.copies = command.handled = 0;
    LONG base[HOST_COUNT];
    for (int host = 0; host < HOST_COUNT; ++host) {
        base[host] = SharedState()->arrivals[host];
    }
    const LONG limit = command.outstanding > 0 ? command.outstanding : 1;
    for (LONG posted = 0; posted < command.count; ++posted) {
        if (!WaitOutstanding(posted, base, limit - 1)) {
            return false;
        }
        if (limit == 1) {
            WaitProgramIdle();
        }
        if (!PostOne()) {
            return false;
        }
    }
    if (!WaitOutstanding(command.count, base, 0)) {
        return false;
    }
    // The last host has answered; the program finishes its handling (frees
    // the duplicate) before the command is over, so that what it counts is
    // this command's.
    const DWORD start = GetTickCount();
    while ((command.handled < command.count || InsideRoad()) && GetTickCount() - start < STALL_LIMIT_MS) {
        Sleep(1);
    }
    return true;
}
