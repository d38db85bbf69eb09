// drvcheck.exe as an integrator runs it: against the simulated driver, which
// keeps the contract, and against the broken drivers met in the field, each
// built from the one test driver source. Each must give its finding, word
// for word, and the exit code.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "fixtures.h"

namespace {

std::vector<std::string> Lines(const std::string &text)
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

bool HasLineStartingWith(const std::vector<std::string> &lines, const std::string &start)
{
    for (const std::string &line : lines) {
        if (line.compare(0, start.size(), start) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

TEST(DrvCheck, SimulatedDriverPassesEveryCheckAndArmsOnce)
{
    std::string dir = TempPath("drvcheck_save");
    CreateDirectoryA(dir.c_str(), nullptr);
    std::string json = TempPath("drvcheck.json");
    std::string output;
    int code = RunProgram("drvcheck.exe",
                          "\"" + BinPath("xraysim.dll") + "\" --arm --save \"" + dir + "\" --json \"" + json + "\"",
                          &output);
    EXPECT_EQ(0, code) << output;
    std::vector<std::string> lines = Lines(output);
    ASSERT_GE(lines.size(), 3u) << output;
    // A heading, findings that are all "ok", the verdict.
    for (size_t i = 1; i + 1 < lines.size(); ++i) {
        EXPECT_EQ(0u, lines[i].find("ok: ")) << lines[i];
    }
    EXPECT_EQ("verdict: PASS (0 errors, 0 warnings)", lines.back());
    const char *expected[] = {
        "ok: exports bXRAYChangeBinningMode",
        "ok: XRAYOpen returned 2 (standalone): the station shows the title \"CATTURA DA SENSORE - Standalone version\"",
        "ok: XRAYSize leaves the stack pointer as it found it (__cdecl)",
        "ok: XRAYResolution: 20.5, 10; tags sent with each image: front end 0x001401FF, photo server 0x000A0014",
        "ok: image 1: the station's layout check passes it (pixels at offset 1064)",
        "ok: image 1: 512 x 768, the size XRAYSize reports",
        "ok: image 1: image block layout: yes (8 bits, 256 colours, bottom-up)",
        "ok: unloaded with FreeLibrary",
    };
    for (const char *line : expected) {
        EXPECT_TRUE(HasLineStartingWith(lines, line)) << line << "\n" << output;
    }
    // The saved image is the block behind a file header.
    std::string bmp = ReadWholeFile(dir + "\\drvcheck-1.bmp");
    EXPECT_EQ(14u + 40 + 1024 + 512 * 768, bmp.size());
    EXPECT_EQ(0, bmp.compare(0, 2, "BM"));
    DeleteFileA((dir + "\\drvcheck-1.bmp").c_str());
    RemoveDirectoryA(dir.c_str());
    // The same findings for scripts.
    std::string text = ReadWholeFile(json);
    EXPECT_NE(std::string::npos, text.find("\"verdict\": \"pass\"")) << text;
    EXPECT_NE(std::string::npos, text.find("{\"level\": \"ok\", \"text\": \"exports XRAYOpen\"}")) << text;
    DeleteFileA(json.c_str());
}

TEST(DrvCheck, BrokenDriversGetTheirFindingAndFail)
{
    const struct {
        const char *dll;
        const char *options;
        const char *finding;  // the start of one line of the report
    } cases[] = {
        {"testdrv_noopen.dll", "", "error: does not export XRAYOpen: the station cannot open the driver"},
#ifdef HAVE_TESTDRV_STDCALL
        {"testdrv_stdcall.dll", "",
         "error: XRAYSize took 8 bytes of its own arguments off the stack (callee-cleans, __stdcall): the station "
         "calls it __cdecl and takes them off again, which corrupts its stack; declare it extern \"C\" __cdecl"},
#endif
        {"testdrv_decorated.dll", "",
         "error: exports XRAYOpen@12, not XRAYOpen: a decorated (calling-convention) name the station cannot find; "
         "rename the export to XRAYOpen (extern \"C\" __cdecl, named in a .def file)"},
#ifdef HAVE_TESTDRV_X64
        {"testdrv_x64.dll", "",
         "error: this is a 64-bit DLL; the station is a 32-bit program and can only load 32-bit drivers"},
#endif
#ifdef HAVE_TESTDRV_MISSINGDEP
        {"testdrv_missingdep.dll", "",
         "error: imports tdmissing.dll: not found beside the driver nor in the system; Windows will not load the "
         "driver (error 126) and the station says \"Dll non trovata\""},
#endif
        {"testdrv_full.dll", "--arm --timeout 2", "error: no image within 2 s: the driver never delivered (WM_USER 301)"},
        {"testdrv_corrupt.dll", "--arm",
         "error: image 1: the station's layout check refuses it: the pixel rows run past the end of the block"},
        {"testdrv_crashopen.dll", "", "error: the driver crashed in XRAYOpen (exception 0xC0000005 at "},
        {"testdrv_hangopen.dll", "--timeout 2",
         "error: XRAYOpen did not return within 2 s: the driver hangs, and the station would hang with it"},
    };
    for (const auto &c : cases) {
        std::string output;
        int code = RunProgram("drvcheck.exe", "\"" + BinPath(c.dll) + "\" " + c.options, &output);
        EXPECT_EQ(1, code) << c.dll << "\n" << output;
        std::vector<std::string> lines = Lines(output);
        EXPECT_TRUE(HasLineStartingWith(lines, c.finding)) << c.dll << ": expected\n" << c.finding << "\n" << output;
        ASSERT_FALSE(lines.empty()) << c.dll;
        EXPECT_EQ(0u, lines.back().find("verdict: FAIL (")) << c.dll << "\n" << output;
    }
}

TEST(DrvCheck, BadCommandLinesExitWithTwo)
{
    const char *commands[] = {"", "a.dll b.dll", "a.dll --timeout", "a.dll --timeout 0", "a.dll --timeout x",
                              "a.dll --speed", "--arm"};
    for (const char *command : commands) {
        std::string output;
        EXPECT_EQ(2, RunProgram("drvcheck.exe", command, &output)) << command;
        EXPECT_EQ(0u, output.find("usage: drvcheck")) << command << "\n" << output;
    }
    // A path that names nothing is a finding, not a bad command line.
    std::string output;
    EXPECT_EQ(1, RunProgram("drvcheck.exe", "\"" + BinPath("no-such-driver.dll") + "\"", &output));
    EXPECT_NE(std::string::npos, output.find("error: cannot read ")) << output;
}

// The simulated driver's field faults, each seen as drvcheck reports it.
TEST(DrvCheck, SimulatedFieldFaultsGetTheirFindings)
{
    const struct {
        const char *variable;
        const char *value;
        const char *finding;
        int exitCode;
        // The driver never delivers: the finding is drvcheck's wait running
        // out, so the wait is short. Every other case waits as long as
        // drvcheck does unless told (an image takes seconds to make where
        // the CPU is emulated, as in the i686 suite's Debian guest).
        bool waitsOut = false;
    } cases[] = {
        {"XRAYSIM_FAULT", "topdown", "warn: image 1: image block layout: no (top-down rows)", 0},
        {"XRAYSIM_FAULT", "16bit", "warn: image 1: image block layout: no (16 bits a pixel)", 0},
        {"XRAYSIM_FAULT", "24bit", "warn: image 1: image block layout: no (24 bits a pixel)", 0},
        {"XRAYSIM_FAULT", "shorttable", "warn: image 1: image block layout: no (a colour table of 16 entries)", 0},
        {"XRAYSIM_FAULT", "shortblock",
         "error: image 1: the station's layout check refuses it: the pixel rows run past the end of the block", 1},
        {"XRAYSIM_FAULT", "overclaim",
         "error: image 1: the station's layout check refuses it: the pixel rows run past the end of the block", 1},
        {"XRAYSIM_FAULT", "silent", "error: no image within 2 s: the driver never delivered (WM_USER 301)", 1, true},
        {"XRAYSIM_FAULT", "sendmessage", "ok: image 1: image block layout: yes (8 bits, 256 colours, bottom-up)", 0},
        {"XRAYSIM_EVENT_AFTER", "1,12", "warn: event 12: the station shows \"USB board plugged on again\"", 0},
    };
    EnvVar exposure("XRAYSIM_EXPOSURE_MS", "0");
    for (const auto &c : cases) {
        EnvVar setting(c.variable, c.value);
        std::string output;
        int code = RunProgram("drvcheck.exe",
                              "\"" + BinPath("xraysim.dll") + "\" --arm" + (c.waitsOut ? " --timeout 2" : ""), &output);
        EXPECT_EQ(c.exitCode, code) << c.variable << "=" << c.value << "\n" << output;
        EXPECT_TRUE(HasLineStartingWith(Lines(output), c.finding)) << c.variable << "=" << c.value << "\n" << output;
    }
    // Synchronised mode: nothing armed, the generator's image comes all the same.
    EnvVar mode("XRAYSIM_MODE", "1");
    EnvVar interval("XRAYSIM_INTERVAL_MS", "100");
    std::string output;
    EXPECT_EQ(0, RunProgram("drvcheck.exe", "\"" + BinPath("xraysim.dll") + "\" --arm", &output)) << output;
    std::vector<std::string> lines = Lines(output);
    EXPECT_TRUE(HasLineStartingWith(lines, "ok: --arm: mode 1, the station does not arm; waiting for the generator's image"))
        << output;
    EXPECT_TRUE(HasLineStartingWith(lines, "ok: image 1: 512 x 768, the size XRAYSize reports")) << output;
}
