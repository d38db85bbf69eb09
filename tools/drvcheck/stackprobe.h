// Calling a driver export from the smoke child: on i686 through the thunk
// of stackprobe.cpp, which measures how far the callee moved the stack
// pointer; on x86-64 directly.
#pragma once

#include <cstdint>
#include <type_traits>

#include "childreport.h"
#include "station.h"

#if DRVCHECK_WATCHES_STACK
// Calls `function` with `count` 32-bit arguments, __cdecl, and sets
// `removed` to the bytes the callee took off the stack itself.
extern "C" uint32_t __cdecl CallWatchingStack(const void *function, const uint32_t *arguments,
                                               uint32_t count, int32_t *removed);
#endif

namespace drvcheck {

#if DRVCHECK_WATCHES_STACK
// One 32-bit stack slot an argument: on i686 an int and a pointer are both
// 32 bits wide, so nothing is cut short.
template <typename T>
uint32_t StackWord(T value)
{
    static_assert(sizeof(T) == sizeof(uint32_t), "each argument takes one 32-bit stack slot");
    if constexpr (std::is_pointer_v<T>) {
        return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(value));
    } else {
        return static_cast<uint32_t>(value);
    }
}
#endif  // DRVCHECK_WATCHES_STACK

// Calls an export with the arguments of its own type. On i686 the call goes
// through the thunk, which reports a callee that cleaned the stack;
// `watched` says the call is one whose convention is reported as ok. On
// x86-64 the typed pointer is called as it is: nothing to measure there.
template <typename Fn, typename... Args>
int CallExport(const char *name, Fn function, bool watched, Args... arguments)
{
    static_assert(std::is_invocable_r_v<int, Fn, Args...>, "the arguments of the export's own type");
    ChildStep(name);
#if DRVCHECK_WATCHES_STACK
    // One word more than the arguments, so that the array is never empty.
    const uint32_t words[] = {StackWord(arguments)..., 0u};
    int32_t removed = 0;
    uint32_t result = CallWatchingStack(reinterpret_cast<const void *>(function), words,
                                        static_cast<uint32_t>(sizeof...(Args)), &removed);
    ChildStepDone();
    if (removed != 0) {
        ChildFinding(Level::Error,
                     "%s took %ld bytes of its own arguments off the stack (callee-cleans, __stdcall): "
                     "the station calls it __cdecl and takes them off again, which corrupts its stack; "
                     "declare it extern \"C\" __cdecl",
                     name, static_cast<long>(removed));
    } else if (watched) {
        ChildFinding(Level::Ok, "%s leaves the stack pointer as it found it (__cdecl)", name);
    }
    return static_cast<int>(result);
#else
    (void)watched;
    int result = function(arguments...);
    ChildStepDone();
    return result;
#endif
}

}  // namespace drvcheck
