// The sections of a run, a file each: throughput with delivery and memory
// (benchthroughput.cpp), latency with the image road's steps
// (benchlatency.cpp), paint with its steps (benchpaint.cpp), and the
// simulated driver's speed (benchsimulator.cpp).
#pragma once

#include <vector>

#include "benchsize.h"

struct Plan {
    std::vector<Size> sizes;
    std::vector<int> throughputBlocks;  // per program, alternating; they add up to the run
    std::vector<int> memoryPoints;      // images of MEMORY_SIZE after which memory is read
    int latencyRounds;
    int latencyBlock;
    int paintRounds;
    int paintBlock;
    int simRepeats;
};

constexpr Size MEMORY_SIZE = {2048, 3072};
constexpr double GOAL_RATIO = 1.10;

void Throughput(const Plan &plan, Size size, bool readMemory);
void Latency(const Plan &plan, Size size);
void Paint(const Plan &plan, Size size);
void SimulatorSpeed(const Plan &plan, const char *simPath);
