#include "testdrv_client.h"

#include "fixtures.h"

TestDriver::TestDriver(const char *dllName)
{
    if (dllName == nullptr) {
        return;
    }
    path = BinPath(dllName);
    module = LoadLibraryA(path.c_str());
    if (module == nullptr) {
        return;
    }
    Resolve(Reset, "TD_Reset");
    Resolve(SetOpenResult, "TD_SetOpenResult");
    Resolve(SetSize, "TD_SetSize");
    Resolve(SetSizeWrites, "TD_SetSizeWrites");
    Resolve(SetResolution, "TD_SetResolution");
    Resolve(SetPrepareResult, "TD_SetPrepareResult");
    Resolve(SetChangeBinningResult, "TD_SetChangeBinningResult");
    Resolve(SetCloseHook, "TD_SetCloseHook");
    Resolve(SetOpenHook, "TD_SetOpenHook");
    Resolve(Log, "TD_Log");
    Resolve(ClearLog, "TD_ClearLog");
    Resolve(OpenWindow, "TD_OpenWindow");
    Reset();
}

bool TestDriver::DeliverFromThread(const std::vector<HGLOBAL> &blocks) const
{
    using DeliverFn = HANDLE(__cdecl *)(const HGLOBAL *, int);
    auto deliver = reinterpret_cast<DeliverFn>(
        reinterpret_cast<void *>(GetProcAddress(module, "TD_DeliverFromThread")));
    HANDLE thread = deliver != nullptr ? deliver(blocks.data(), static_cast<int>(blocks.size())) : nullptr;
    if (thread == nullptr) {
        return false;
    }
    // The guard only ends a broken run: each wait ends with a sent message
    // or with the thread.
    MSG msg;
    while (MsgWaitForMultipleObjects(1, &thread, FALSE, 60000, QS_SENDMESSAGE) == WAIT_OBJECT_0 + 1) {
        PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
    const bool ended = WaitForSingleObject(thread, 0) == WAIT_OBJECT_0;
    CloseHandle(thread);
    return ended;
}
