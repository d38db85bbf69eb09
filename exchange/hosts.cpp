// Hands the current image to the two host windows (the front end and the
// photo server) with WM_COPYDATA, and posts the exit notice to the photo
// server. Owns the registered message number and the duplicates of images
// that arrive while a send is in progress; the current image is only read,
// and every duplicate is freed before the outermost send returns, or with
// the exit notice.
#include "hosts.h"

#include <array>
#include <cstdint>
#include <cstring>

#include "image.h"
#include "loader.h"

static const char NO_IMAGE_TEXT[] = "Immagine non acquisita";
static const char NO_IMAGE_CAPTION[] = "Errore";

static constexpr WPARAM DELETE_RESOURCE_WPARAM = 2;

// Registered during static initialisation, before WinMain runs.
static const UINT deleteResourceMessage = RegisterWindowMessageA(DELETE_RESOURCE_MESSAGE);

UINT DeleteResourceMessage() { return deleteResourceMessage; }

void ShowNoImageMessage(HWND owner)
{
    MessageBoxA(owner, NO_IMAGE_TEXT, NO_IMAGE_CAPTION, MB_OK);
}

// Waits at most HOST_REPLY_TIMEOUT_MS for one host; a host whose thread has
// stopped pumping messages is not waited for at all. Messages sent to the
// station meanwhile are still handled (SMTO_NORMAL), as with SendMessageA.
static void SendToHost(HWND host, HWND owner, COPYDATASTRUCT *record)
{
    DWORD_PTR ignored = 0;
    SendMessageTimeoutA(host, WM_COPYDATA, reinterpret_cast<WPARAM>(owner),
                        reinterpret_cast<LPARAM>(record), SMTO_NORMAL | SMTO_ABORTIFHUNG,
                        HOST_REPLY_TIMEOUT_MS, &ignored);
}

// A send to the hosts waits on them, and messages sent to the station
// meanwhile are handled inside that wait: a driver delivering from its own
// thread brings its next image in while the hosts still handle this one.
// Such a nested image is shown as usual, but its duplicate waits here and the
// outermost send delivers it after its own, so that each host sees every
// image once, in arrival order. Each entry is one image's only copy; the
// queue is a fixed ring, so queueing never allocates.
struct PendingSend {
    HGLOBAL duplicate;
    double first;
    double second;
};
static bool sendInProgress;
static std::array<PendingSend, MAX_PENDING_SENDS> pendingSends;
static size_t pendingFirst;
static size_t pendingCount;

size_t PendingSendCount() { return pendingCount; }

static void QueuePendingSend(const PendingSend &send)
{
    pendingSends[(pendingFirst + pendingCount) % MAX_PENDING_SENDS] = send;
    ++pendingCount;
}

static PendingSend TakePendingSend()
{
    const PendingSend send = pendingSends[pendingFirst];
    pendingFirst = (pendingFirst + 1) % MAX_PENDING_SENDS;
    --pendingCount;
    return send;
}

// Sends a locked duplicate to the hosts found, then unlocks and frees it.
static void SendLockedDuplicate(HWND owner, HGLOBAL duplicate, void *data, double first,
                                double second, HWND frontEnd, HWND photoServer)
{
    COPYDATASTRUCT record;
    memset(&record, 0, sizeof record);
    record.lpData = data;
    record.cbData = static_cast<DWORD>(GlobalSize(duplicate));

    // Front end first, then the photo server, each waited for in turn; the
    // same record serves both, only its tag changes.
    if (frontEnd != nullptr) {
        record.dwData = FrontEndTag(first);
        SendToHost(frontEnd, owner, &record);
    }
    if (photoServer != nullptr) {
        record.dwData = PhotoServerTag(first, second);
        SendToHost(photoServer, owner, &record);
    }

    // Freeing is safe even after a host timed out: the hosts are other
    // processes, and the system takes its own copy of the record and of the
    // cbData bytes when the message is sent, so a host that gets to it late
    // reads that copy, never this block. Only a receiver inside this process
    // is handed our own pointers; it must copy the data as soon as the
    // message arrives, since after a timeout the block is gone while it may
    // still be handling the message.
    GlobalUnlock(duplicate);
    GlobalFree(duplicate);
}

// The images that came in while the outermost send was busy, oldest first,
// including any that come in while these are being sent. The hosts are
// looked up again for each: they may have come or gone meanwhile.
static void SendPendingImages(HWND owner)
{
    while (pendingCount != 0) {
        const PendingSend next = TakePendingSend();
        HWND frontEnd = FindWindowA(FRONT_END_CLASS, nullptr);
        HWND photoServer = FindWindowA(PHOTO_SERVER_CLASS, nullptr);
        void *data = frontEnd != nullptr || photoServer != nullptr ? GlobalLock(next.duplicate)
                                                                   : nullptr;
        if (data == nullptr) {
            GlobalFree(next.duplicate);
            continue;
        }
        SendLockedDuplicate(owner, next.duplicate, data, next.first, next.second, frontEnd,
                            photoServer);
    }
}

void SendImageToHosts(HWND owner)
{
    HGLOBAL image = GetCurrentImage();
    if (image == nullptr) {
        ShowNoImageMessage(owner);
        return;
    }
    HWND frontEnd = FindWindowA(FRONT_END_CLASS, nullptr);
    HWND photoServer = FindWindowA(PHOTO_SERVER_CLASS, nullptr);
    if (frontEnd == nullptr && photoServer == nullptr) {
        return;
    }

    HGLOBAL duplicate = DuplicateImageBlock(image);
    if (duplicate == nullptr) {
        return;
    }
    void *data = GlobalLock(duplicate);
    if (data == nullptr) {
        GlobalFree(duplicate);
        return;
    }

    double first = 0.0;
    double second = 0.0;
    GetSensorResolution(&first, &second);

    if (sendInProgress) {
        // The resolution is the one this image came with; the hosts are
        // found when its turn comes.
        if (pendingCount < MAX_PENDING_SENDS) {
            GlobalUnlock(duplicate);
            QueuePendingSend({duplicate, first, second});
            return;
        }
        // Past the bound the image is not held back: it goes out at once,
        // ahead of those still waiting, rather than be lost.
        SendLockedDuplicate(owner, duplicate, data, first, second, frontEnd, photoServer);
        return;
    }

    sendInProgress = true;
    SendLockedDuplicate(owner, duplicate, data, first, second, frontEnd, photoServer);
    SendPendingImages(owner);
    sendInProgress = false;
}

void NotifyPhotoServerOnExit()
{
    // Nothing reaches a host after the exit notice: the images still waiting
    // for a send in progress (the window being destroyed from inside its
    // wait) are freed and go nowhere.
    while (pendingCount != 0) {
        GlobalFree(TakePendingSend().duplicate);
    }
    HWND photoServer = FindWindowA(PHOTO_SERVER_CLASS, nullptr);
    if (photoServer != nullptr) {
        PostMessageA(photoServer, deleteResourceMessage, DELETE_RESOURCE_WPARAM, 0);
    }
}
