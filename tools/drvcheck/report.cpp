// The findings: their levels and texts, the list the parent keeps of them,
// its lines on standard output and the JSON report written from the list.
#include "report.h"

#include <cstdio>
#include <vector>

namespace drvcheck {

namespace {

struct Finding {
    Level level;
    std::string text;
};

std::vector<Finding> findings;

void WriteJsonString(FILE *out, const std::string &text)
{
    fputc('"', out);
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            fprintf(out, "\\%c", c);
        } else if (c < 0x20 || c >= 0x80) {
            // Control characters, and ANSI bytes taken as Latin-1.
            fprintf(out, "\\u%04x", c);
        } else {
            fputc(c, out);
        }
    }
    fputc('"', out);
}

}  // namespace

const char *LevelName(Level level)
{
    return level == Level::Ok ? "ok" : (level == Level::Warn ? "warn" : "error");
}

std::string Format(const char *format, va_list args)
{
    char text[1024];
    vsnprintf(text, sizeof text, format, args);
    return text;
}

void Report(Level level, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::string text = Format(format, args);
    va_end(args);
    findings.push_back({level, text});
    printf("%s: %s\n", LevelName(level), text.c_str());
    fflush(stdout);
}

void CountFindings(int *errors, int *warnings)
{
    for (const Finding &f : findings) {
        *errors += f.level == Level::Error;
        *warnings += f.level == Level::Warn;
    }
}

bool WriteJson(const char *path, const Options &options, int errors, int warnings)
{
    FILE *out = fopen(path, "wb");
    if (out == nullptr) {
        return false;
    }
    fputs("{\n  \"driver\": ", out);
    WriteJsonString(out, options.driver);
    fputs(",\n  \"findings\": [", out);
    for (size_t i = 0; i < findings.size(); ++i) {
        fprintf(out, "%s\n    {\"level\": \"%s\", \"text\": ", i ? "," : "", LevelName(findings[i].level));
        WriteJsonString(out, findings[i].text);
        fputc('}', out);
    }
    fprintf(out, "\n  ],\n  \"errors\": %d,\n  \"warnings\": %d,\n  \"verdict\": \"%s\"\n}\n", errors, warnings,
            errors == 0 ? "pass" : "fail");
    return fclose(out) == 0;
}

}  // namespace drvcheck
