// The simulator's settings: each XRAYOpen reads the XRAYSIM_* environment
// variables (see README.md) and the station's "Synchro" switch into one
// Settings; a variable that is unset or malformed keeps its default.
#include "settings.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

constexpr int DEFAULT_MODE = XRAY_MODE_STANDALONE;
constexpr int MIN_SIDE = 16;
constexpr int DEFAULT_EXPOSURE_MS = 300;
constexpr int MAX_EXPOSURE_MS = 60000;
constexpr int MAX_BURST = 1000;
constexpr int MIN_INTERVAL_MS = 20;
constexpr int MAX_INTERVAL_MS = 600000;
constexpr int DEFAULT_INTERVAL_MS = 5000;  // the generator's pace in HBX mode

// The station's switch: Opzioni > HBX writes "Synchro" here ("1" HBX, "2"
// standalone) before it reopens the driver.
constexpr char SENSOR_KEY[] = "VESTRA\\ZRK";
constexpr char SYNCHRO_VALUE[] = "Synchro";

struct FaultName {
    const char *name;
    Fault fault;
};
constexpr FaultName FAULT_NAMES[] = {
    {"none", Fault::None},           {"silent", Fault::Silent},         {"sendmessage", Fault::SendMessage},
    {"topdown", Fault::TopDown},     {"16bit", Fault::Bits16},          {"24bit", Fault::Bits24},
    {"shorttable", Fault::ShortTable}, {"shortblock", Fault::ShortBlock}, {"overclaim", Fault::OverClaim},
};

// Copies an environment variable; false when it is unset or too long.
// GetEnvironmentVariableA, not getenv: the C runtime keeps its own copy of
// the environment, which SetEnvironmentVariableA in the host does not reach.
static bool ReadVariable(const char *name, char *text, DWORD size)
{
    DWORD length = GetEnvironmentVariableA(name, text, size);
    return length > 0 && length < size;
}

// A whole decimal integer within [low, high], nothing else in the text.
static bool ParseInteger(const char *text, long long low, long long high, long long *value)
{
    char *end = nullptr;
    errno = 0;
    long long parsed = strtoll(text, &end, 10);
    if (end == text || errno == ERANGE || parsed < low || parsed > high) {
        return false;
    }
    while (*end == ' ') {
        ++end;
    }
    if (*end != '\0') {
        return false;
    }
    *value = parsed;
    return true;
}

static void ReadIntSetting(const char *name, long long low, long long high, int *value)
{
    char text[64];
    long long parsed;
    if (ReadVariable(name, text, sizeof text) && ParseInteger(text, low, high, &parsed)) {
        *value = static_cast<int>(parsed);
    }
}

// "first,second": two finite numbers; both or neither are taken.
static void ReadResolution(Settings *s)
{
    char text[128];
    if (!ReadVariable("XRAYSIM_RESOLUTION", text, sizeof text)) {
        return;
    }
    char *end = nullptr;
    double first = strtod(text, &end);
    if (end == text || *end != ',') {
        return;
    }
    const char *rest = end + 1;
    double second = strtod(rest, &end);
    if (end == rest || *end != '\0' || !std::isfinite(first) || !std::isfinite(second)) {
        return;
    }
    s->resolutionFirst = first;
    s->resolutionSecond = second;
}

// A comma list of event codes ("12" or "1,12"); any bad entry drops the list.
static void ReadEvents(Settings *s)
{
    char text[512];
    if (!ReadVariable("XRAYSIM_EVENTS", text, sizeof text)) {
        return;
    }
    LPARAM codes[MAX_EVENTS];
    int count = 0;
    char *item = text;
    for (;;) {
        char *comma = strchr(item, ',');
        if (comma != nullptr) {
            *comma = '\0';
        }
        long long code;
        // Codes travel in lParam: any 32-bit value, signed or unsigned.
        if (count == MAX_EVENTS || !ParseInteger(item, INT32_MIN, UINT32_MAX, &code)) {
            return;
        }
        codes[count++] = static_cast<LPARAM>(static_cast<uint32_t>(code));
        if (comma == nullptr) {
            break;
        }
        item = comma + 1;
    }
    memcpy(s->events, codes, sizeof codes);
    s->eventCount = count;
}

static void ReadFault(Settings *s)
{
    char text[32];
    if (!ReadVariable("XRAYSIM_FAULT", text, sizeof text)) {
        return;
    }
    for (const FaultName &f : FAULT_NAMES) {
        if (_stricmp(text, f.name) == 0) {
            s->fault = f.fault;
        }
    }
}

// "N,CODE": after the Nth image since the open, the event CODE, once.
static void ReadEventAfter(Settings *s)
{
    char text[64];
    if (!ReadVariable("XRAYSIM_EVENT_AFTER", text, sizeof text)) {
        return;
    }
    char *comma = strchr(text, ',');
    long long count, code;
    if (comma == nullptr) {
        return;
    }
    *comma = '\0';
    if (ParseInteger(text, 1, INT32_MAX, &count) && ParseInteger(comma + 1, INT32_MIN, UINT32_MAX, &code)) {
        s->eventAfter = static_cast<int>(count);
        s->eventAfterCode = static_cast<LPARAM>(static_cast<uint32_t>(code));
    }
}

// The mode the station's switch asks for: HBX when "Synchro" reads as 1, as
// the station reads it; standalone when it says anything else or is absent.
static int SynchroMode()
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, SENSOR_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return DEFAULT_MODE;
    }
    char text[16] = "";
    DWORD size = sizeof text - 1;
    LONG read = RegQueryValueExA(key, SYNCHRO_VALUE, nullptr, nullptr, reinterpret_cast<BYTE *>(text), &size);
    RegCloseKey(key);
    return read == ERROR_SUCCESS && atoi(text) == 1 ? XRAY_MODE_HBX : DEFAULT_MODE;
}


Settings ReadSettings()
{
    Settings s = {};
    s.mode = SynchroMode();
    s.width = DEFAULT_WIDTH;
    s.height = DEFAULT_HEIGHT;
    s.exposureMs = DEFAULT_EXPOSURE_MS;
    s.resolutionFirst = DEFAULT_RESOLUTION_FIRST;
    s.resolutionSecond = DEFAULT_RESOLUTION_SECOND;
    ReadIntSetting("XRAYSIM_MODE", INT32_MIN, INT32_MAX, &s.mode);
    ReadIntSetting("XRAYSIM_WIDTH", MIN_SIDE, MAX_SIDE, &s.width);
    ReadIntSetting("XRAYSIM_HEIGHT", MIN_SIDE, MAX_SIDE, &s.height);
    ReadIntSetting("XRAYSIM_EXPOSURE_MS", 0, MAX_EXPOSURE_MS, &s.exposureMs);
    ReadResolution(&s);
    ReadEvents(&s);
    if (!ReadVariable("XRAYSIM_LOG", s.logPath, sizeof s.logPath)) {
        s.logPath[0] = '\0';
    }
    if (!ReadVariable("XRAYSIM_REPLAY", s.replayPath, sizeof s.replayPath)) {
        s.replayPath[0] = '\0';
    }
    s.fault = Fault::None;
    ReadFault(&s);
    s.burst = 1;
    ReadIntSetting("XRAYSIM_BURST", 1, MAX_BURST, &s.burst);
    ReadEventAfter(&s);
    s.intervalMs = DEFAULT_INTERVAL_MS;
    ReadIntSetting("XRAYSIM_INTERVAL_MS", MIN_INTERVAL_MS, MAX_INTERVAL_MS, &s.intervalMs);
    return s;
}
