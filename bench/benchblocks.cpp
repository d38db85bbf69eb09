// What a block of posts delivered: each host's arrivals matched to the
// posts, the time from each post to its arrival, and the block's rate.
#include "benchblocks.h"

#include <algorithm>
#include <cstdint>
#include <map>

void Account(const Block &block, int host, bool byCrc, Tally *tally)
{
    const BenchShared *shared = Shared();
    const LONG count = block.endSeq - block.firstSeq;
    std::map<uint32_t, LONG> byChecksum;
    for (LONG seq = block.firstSeq; seq < block.endSeq; ++seq) {
        byChecksum[shared->posts[seq].crc] = seq;
    }
    std::vector<int> seen(count > 0 ? count : 0, 0);
    LONG latest = 0;
    for (LONG k = block.firstArrival[host]; k < block.endArrival[host]; ++k) {
        const BenchArrival &arrival = shared->received[host][k];
        LONG seq = 0;
        if (byCrc) {
            auto found = byChecksum.find(arrival.crc);
            seq = found != byChecksum.end() ? found->second : 0;
        } else if (static_cast<LONG>(arrival.seq) >= block.firstSeq &&
                   static_cast<LONG>(arrival.seq) < block.endSeq) {
            seq = arrival.seq;
        }
        if (seq == 0 || arrival.size != shared->posts[seq].size) {
            ++tally->corrupt;
            continue;
        }
        if (seen[seq - block.firstSeq]++ != 0) {
            ++tally->duplicated;
        } else if (seq < latest) {
            ++tally->reordered;
        }
        latest = std::max(latest, seq);
    }
    tally->posted += count;
    tally->lost += static_cast<int>(std::count(seen.begin(), seen.end(), 0));
}

// Milliseconds from each post to its arrival at the host.
std::vector<double> Latencies(const Block &block, int host)
{
    const BenchShared *shared = Shared();
    std::vector<double> result;
    for (LONG k = block.firstArrival[host]; k < block.endArrival[host]; ++k) {
        const BenchArrival &arrival = shared->received[host][k];
        const LONG seq = arrival.seq;
        if (seq >= block.firstSeq && seq < block.endSeq) {
            result.push_back((arrival.stamp - shared->posts[seq].stamp) * MsPerTick());
        }
    }
    return result;
}

// Images per second from the first post to the last arrival at the host
// served last.
double Rate(const Block &block)
{
    const BenchShared *shared = Shared();
    const LONG count = block.endSeq - block.firstSeq;
    const LONG last = block.endArrival[HOST_PHOTO_SERVER] - 1;
    if (count <= 0 || last < block.firstArrival[HOST_PHOTO_SERVER]) {
        return 0.0;
    }
    const int64_t ticks = shared->received[HOST_PHOTO_SERVER][last].stamp - shared->posts[block.firstSeq].stamp;
    return ticks > 0 ? count / (ticks * MsPerTick() / 1000.0) : 0.0;
}
