// What a run of bench.exe reports (benchtable.cpp): figures summarised
// from samples, the table's rows as they are printed, the CSV written at
// the end, the verdicts against the goals and whether anything failed.
#pragma once

#include <string>
#include <vector>

#include "benchsize.h"

struct Figure {
    bool present = false;
    double median = 0.0;
    double min = 0.0;
    double max = 0.0;
    int samples = 0;
};

struct Row {
    std::string section;
    Size size;
    std::string measure;
    std::string unit;
    Figure station;
    Figure floor;
    Figure ratio;
    std::string goal;
};

double Median(std::vector<double> values);
Figure Summarise(const std::vector<double> &values);
std::vector<double> PairedRatios(const std::vector<double> &perRound);

std::string Verdict(const Figure &ratio, double limit);
// Off for a smoke run, whose single samples are not held to the goals.
void SetJudging(bool judge);
bool Judging();

void PrintHeading();
// Prints the row at once and keeps it for the CSV.
void AddRow(const Row &row);
void WriteCsv(const char *path);

// Anything that went wrong makes bench.exe end with 1.
void NoteFailure();
bool AnyFailure();
