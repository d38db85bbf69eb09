// The findings, the parent's report of them and the JSON file.
#pragma once

#include <cstdarg>
#include <string>

#include "options.h"

namespace drvcheck {

enum class Level { Ok, Warn, Error };

const char *LevelName(Level level);
std::string Format(const char *format, va_list args);

// A finding of the parent: printed as one line at once and kept for the
// verdict and the JSON report.
void Report(Level level, const char *format, ...);
void CountFindings(int *errors, int *warnings);
bool WriteJson(const char *path, const Options &options, int errors, int warnings);

}  // namespace drvcheck
