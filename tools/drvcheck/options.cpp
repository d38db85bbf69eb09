// Reading drvcheck's command line, the parent's and the smoke child's.
#include "options.h"

#include <cstdlib>
#include <cstring>

namespace drvcheck {

namespace {

constexpr int MAX_TIMEOUT_S = 3600;

}  // namespace

bool ParseTimeout(const char *text, int *seconds)
{
    char *end = nullptr;
    long value = strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < 1 || value > MAX_TIMEOUT_S) {
        return false;
    }
    *seconds = static_cast<int>(value);
    return true;
}

bool ParseArguments(int argc, char **argv, Options *options)
{
    int i = 1;
    if (argc > 2 && strcmp(argv[1], CHILD_FLAG) == 0) {
        options->childReport = argv[2];
        i = 3;
    }
    for (; i < argc; ++i) {
        const char *arg = argv[i];
        bool hasValue = i + 1 < argc;
        if (strcmp(arg, "--arm") == 0) {
            options->arm = true;
        } else if (strcmp(arg, "--timeout") == 0 && hasValue) {
            if (!ParseTimeout(argv[++i], &options->timeoutS)) {
                return false;
            }
        } else if (strcmp(arg, "--save") == 0 && hasValue) {
            options->saveDir = argv[++i];
        } else if (strcmp(arg, "--json") == 0 && hasValue) {
            options->jsonPath = argv[++i];
        } else if (arg[0] == '-' && arg[1] == '-') {
            return false;
        } else if (options->driver == nullptr) {
            options->driver = arg;
        } else {
            return false;
        }
    }
    return options->driver != nullptr;
}

}  // namespace drvcheck
