// The report of a run: figures made of samples, the table printed row by
// row, the CSV, the verdicts against the goals, and whether anything
// failed along the way.
#include "benchtable.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

static std::vector<Row> rows;
static bool failures;
static bool judging = true;  // a smoke run's single samples are not held to the goals

void NoteFailure() { failures = true; }

bool AnyFailure() { return failures; }

void SetJudging(bool judge) { judging = judge; }

bool Judging() { return judging; }

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

Figure Summarise(const std::vector<double> &values)
{
    Figure figure;
    if (values.empty()) {
        return figure;
    }
    figure.present = true;
    figure.median = Median(values);
    figure.min = *std::min_element(values.begin(), values.end());
    figure.max = *std::max_element(values.begin(), values.end());
    figure.samples = static_cast<int>(values.size());
    return figure;
}

// Rounds 2k and 2k+1 run any two programs in opposite orders; the geometric
// mean of their two ratios cancels whatever going first or second does to a
// block (A B B A). A single round stands alone.
std::vector<double> PairedRatios(const std::vector<double> &perRound)
{
    if (perRound.size() == 1) {
        return perRound[0] > 0 ? perRound : std::vector<double>();
    }
    std::vector<double> paired;
    for (size_t i = 0; i + 1 < perRound.size(); i += 2) {
        if (perRound[i] > 0 && perRound[i + 1] > 0) {
            paired.push_back(std::sqrt(perRound[i] * perRound[i + 1]));
        }
    }
    return paired;
}

std::string Verdict(const Figure &ratio, double limit)
{
    if (!ratio.present) {
        return "-";
    }
    if (!judging) {
        return "not judged";
    }
    return ratio.median <= limit ? "met" : "MISSED";
}

static std::string Cell(const Figure &figure)
{
    if (!figure.present) {
        return "";
    }
    char text[96];
    int digits = figure.max >= 1000 ? 0 : (figure.max >= 10 ? 1 : (figure.max >= 1 ? 2 : 3));
    snprintf(text, sizeof text, "%.*f [%.*f..%.*f]", digits, figure.median, digits, figure.min, digits,
             figure.max);
    return text;
}

static void PrintRow(const Row &row)
{
    char size[32];
    snprintf(size, sizeof size, "%dx%d", row.size.width, row.size.height);
    printf("%-10s %-10s %-34s %-7s %-28s %-28s %-24s %s\n", row.section.c_str(), size, row.measure.c_str(),
           row.unit.c_str(), Cell(row.station).c_str(), Cell(row.floor).c_str(), Cell(row.ratio).c_str(),
           row.goal.c_str());
    fflush(stdout);
}

void AddRow(const Row &row)
{
    rows.push_back(row);
    PrintRow(row);
}

void PrintHeading()
{
    printf("%-10s %-10s %-34s %-7s %-28s %-28s %-24s %s\n", "section", "size", "measure", "unit",
           "station median [min..max]", "floor median [min..max]", "station/floor [min..max]", "goal");
}

// A text field, quoted: measures and notes hold commas.
static std::string CsvText(const std::string &text)
{
    std::string quoted = "\"";
    for (char c : text) {
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    }
    return quoted + "\"";
}

void WriteCsv(const char *path)
{
    FILE *file = fopen(path, "w");
    if (file == nullptr) {
        fprintf(stderr, "bench: cannot write %s\n", path);
        failures = true;
        return;
    }
    fprintf(file, "section,width,height,bytes,measure,unit,station_median,station_min,station_max,"
                  "floor_median,floor_min,floor_max,ratio_median,ratio_min,ratio_max,samples,goal\n");
    for (const Row &row : rows) {
        fprintf(file, "%s,%d,%d,%u,%s,%s", row.section.c_str(), row.size.width, row.size.height,
                BlockBytes(row.size), CsvText(row.measure).c_str(), CsvText(row.unit).c_str());
        for (const Figure *figure : {&row.station, &row.floor, &row.ratio}) {
            if (figure->present) {
                fprintf(file, ",%.4f,%.4f,%.4f", figure->median, figure->min, figure->max);
            } else {
                fprintf(file, ",,,");
            }
        }
        fprintf(file, ",%d,%s\n", row.station.samples, CsvText(row.goal).c_str());
    }
    fclose(file);
}
