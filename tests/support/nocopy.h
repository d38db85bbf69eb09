// The base of the test helpers that hold something and give it back once
// (a hook, a patched import, a window, a saved registry key or file): a
// copy would give it back twice.
#pragma once

class NoCopy {
public:
    NoCopy(const NoCopy &) = delete;
    NoCopy &operator=(const NoCopy &) = delete;

protected:
    NoCopy() = default;
    ~NoCopy() = default;
};
