// What the drvcheck tests read from a run of drvcheck.exe: the lines of its
// report, and a broken driver's finding with its exit code.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fixtures.h"
#include "smokerun.h"

inline std::vector<std::string> Lines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
    }
    return lines;
}

inline bool HasLineStartingWith(const std::vector<std::string> &lines, const std::string &start)
{
    for (const std::string &line : lines) {
        if (line.compare(0, start.size(), start) == 0) {
            return true;
        }
    }
    return false;
}

// drvcheck.exe run with `arguments`, as RunProgram runs it. No stretch of
// drvcheck's own work can be longer than the whole run, so a run that took a
// tenth of that bound or more says so on stderr ("time: …"): a run under
// load then shows how near the bound came.
inline int RunDrvCheck(const std::string &arguments, std::string *output)
{
    DWORD start = GetTickCount();
    int code = RunProgram("drvcheck.exe", arguments, output);
    ReportWaitTime("drvcheck " + arguments + ", its own work at most", start, drvcheck::OWN_WORK_LIMIT_S * 1000u);
    return code;
}

// drvcheck on `dll` of the bin folder fails (exit code 1, verdict FAIL) with
// a line that starts with `finding`.
inline void ExpectFailingFinding(const char *dll, const std::string &options, const std::string &finding)
{
    std::string output;
    int code = RunDrvCheck("\"" + BinPath(dll) + "\" " + options, &output);
    EXPECT_EQ(1, code) << dll << "\n" << output;
    std::vector<std::string> lines = Lines(output);
    EXPECT_TRUE(HasLineStartingWith(lines, finding)) << dll << ": expected\n" << finding << "\n" << output;
    ASSERT_FALSE(lines.empty()) << dll;
    EXPECT_EQ(0u, lines.back().find("verdict: FAIL (")) << dll << "\n" << output;
}
