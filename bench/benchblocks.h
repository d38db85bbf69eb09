// What a block of posts delivered to the hosts (benchblocks.cpp): its
// faults counted against what was posted, the time each post took to
// arrive, and the block's rate.
#pragma once

#include <vector>

#include "benchprograms.h"

// What reached one host against what was posted: by CRC-32 of the whole
// payload when the hosts took it, else by the sequence number and size.
struct Tally {
    int posted = 0;
    int lost = 0;
    int duplicated = 0;
    int reordered = 0;
    int corrupt = 0;
    int Faults() const { return lost + duplicated + reordered + corrupt; }
};

void Account(const Block &block, int host, bool byCrc, Tally *tally);
std::vector<double> Latencies(const Block &block, int host);
double Rate(const Block &block);
