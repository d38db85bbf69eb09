// The two host applications bench.exe stands in for (benchhosts.cpp): a
// window of each host class, each on its own thread of this process.
#pragma once

#include "benchshared.h"

inline constexpr const char *HOST_NAMES[HOST_COUNT] = {"front end", "photo server"};

// False when a host's thread or window did not come up.
bool StartHosts();
