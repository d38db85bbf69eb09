// The command line of drvcheck and of its smoke child, and the exit codes
// of both.
#pragma once

namespace drvcheck {

constexpr int EXIT_CLEAN = 0;
constexpr int EXIT_ERRORS = 1;
constexpr int EXIT_USAGE = 2;
constexpr int DEFAULT_TIMEOUT_S = 20;
// The hidden flag that starts this program again as the smoke child.
constexpr char CHILD_FLAG[] = "--smoke-child";

struct Options {
    const char *driver = nullptr;
    bool arm = false;
    int timeoutS = DEFAULT_TIMEOUT_S;
    const char *saveDir = nullptr;
    const char *jsonPath = nullptr;
    const char *childReport = nullptr;  // set only in the child
};

// A whole number of seconds from 1 to an hour.
bool ParseTimeout(const char *text, int *seconds);
bool ParseArguments(int argc, char **argv, Options *options);

}  // namespace drvcheck
