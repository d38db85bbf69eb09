// drvcheck.exe as an integrator runs it: against the simulated driver, which
// keeps the contract, and against the broken drivers met in the field, each
// built from the one test driver source. Each must give its finding, word
// for word, and the exit code.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "drvcheck_report.h"
#include "fixtures.h"

namespace {

// The station's bitness, as drvcheck's is: the flavour this test is built in.
const int STATION_BITS = static_cast<int>(8 * sizeof(void *));


}  // namespace

TEST(DrvCheck, SimulatedDriverPassesEveryCheckAndArmsOnce)
{
    std::string dir = TempPath("drvcheck_save");
    CreateDirectoryA(dir.c_str(), nullptr);
    std::string json = TempPath("drvcheck.json");
    std::string output;
    int code = RunDrvCheck("\"" + BinPath("xraysim.dll") + "\" --arm --save \"" + dir + "\" --json \"" + json + "\"",
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
        "ok: XRAYResolution: 20.5, 10; tags sent with each image: front end 0x001401FF, photo server 0x000A0014",
        "ok: image 1: the station's layout check passes it (pixels at offset 1064)",
        "ok: image 1: 512 x 768, the size XRAYSize reports",
        "ok: image 1: image block layout: yes (8 bits, 256 colours, bottom-up)",
        "ok: unloaded with FreeLibrary",
    };
    for (const char *line : expected) {
        EXPECT_TRUE(HasLineStartingWith(lines, line)) << line << "\n" << output;
    }
    // A driver of the station's own bitness; the stack pointer watched on
    // i686 only, where a callee can take the station's arguments off.
    const std::string bits = std::to_string(STATION_BITS) + "-bit ";
    EXPECT_TRUE(HasLineStartingWith(lines, "ok: a " + bits)) << output;
    const std::string stack = sizeof(void *) == 4
        ? "ok: XRAYSize leaves the stack pointer as it found it (__cdecl)"
        : "ok: the stack-pointer check does not apply to a " + bits + "driver: x86-64 has one calling convention";
    EXPECT_TRUE(HasLineStartingWith(lines, stack)) << stack << "\n" << output;
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

// The broken drivers of either flavour; those of calling conventions are
// i686 cases of their own (drvcheck_i686_test.cpp).
TEST(DrvCheck, BrokenDriversGetTheirFindingAndFail)
{
    const struct {
        const char *dll;
        const char *options;
        std::string finding;  // the start of one line of the report
    } cases[] = {
        {"testdrv_noopen.dll", "", "error: does not export XRAYOpen: the station cannot open the driver"},
#ifdef TESTDRV_WRONG_BITNESS
        // Built by the compiler of the other bitness.
        {TESTDRV_WRONG_BITNESS, "",
         "error: this is a " + std::to_string(STATION_BITS == 32 ? 64 : 32) + "-bit DLL; the station is a " +
             std::to_string(STATION_BITS) + "-bit program and can only load " + std::to_string(STATION_BITS) +
             "-bit drivers"},
#endif
#ifdef HAVE_TESTDRV_MISSINGDEP
        // Beside the station is beside the driver here: the bin folder.
        {"testdrv_missingdep.dll", "",
         "error: imports tdmissing.dll: not found where the station looks (beside the station, beside the driver, "
         "in the system, on PATH); Windows will not load the driver (error 126) and the station says \"Dll non "
         "trovata\""},
#endif
        {"testdrv_full.dll", "--arm --timeout 5", "error: no image within 5 s: the driver never delivered (WM_USER 301)"},
        {"testdrv_corrupt.dll", "--arm",
         "error: image 1: the station's layout check refuses it: the pixel rows run past the end of the block"},
        {"testdrv_crashopen.dll", "", "error: the driver crashed in XRAYOpen (exception 0xC0000005 at "},
        {"testdrv_hangopen.dll", "--timeout 5",
         "error: XRAYOpen did not return within 5 s: the driver hangs, and the station would hang with it"},
    };
    for (const auto &c : cases) {
        ExpectFailingFinding(c.dll, c.options, c.finding);
    }
}

// The driver's clock starts when the smoke run enters the driver: a smoke
// run that is slow to start (a busy or scanned PC) costs a sound driver
// nothing, however short its timeout, and one that never starts is the
// tool's failure, said as such. The delay is far past the timeout and the
// bound on any machine, so the verdicts do not depend on its speed.
TEST(DrvCheck, ASlowStartIsNeverChargedToTheDriver)
{
    const struct {
        const char *delayMs;
        const char *ownLimitS;  // the smoke run's own bound; null: the default
        int exitCode;
        const char *finding;    // a line that starts so; null: none is an error
    } cases[] = {
        {"8000", nullptr, 0, nullptr},
        {"600000", "3", 1, "error: the smoke run did not start within 3 s; this says nothing about the driver"},
    };
    for (const auto &c : cases) {
        EnvVar delay("DRVCHECK_TEST_START_DELAY_MS", c.delayMs);
        EnvVar limit("DRVCHECK_TEST_OWN_LIMIT_S", c.ownLimitS);
        std::string output;
        int code = RunDrvCheck("\"" + BinPath("xraysim.dll") + "\" --timeout 2", &output);
        EXPECT_EQ(c.exitCode, code) << c.delayMs << "\n" << output;
        std::vector<std::string> lines = Lines(output);
        if (c.finding != nullptr) {
            EXPECT_TRUE(HasLineStartingWith(lines, c.finding)) << c.finding << "\n" << output;
            EXPECT_FALSE(HasLineStartingWith(lines, "ok: loaded with LoadLibrary")) << output;
        } else {
            EXPECT_FALSE(HasLineStartingWith(lines, "error: ")) << output;
            EXPECT_TRUE(HasLineStartingWith(lines, "ok: unloaded with FreeLibrary")) << output;
        }
    }
}

// The station binds a driver with its folder as the DLL directory: the
// driver's own DLLs are found beside it and never in the current directory,
// and drvcheck reports and loads them so from whatever folder it starts in.
TEST(DrvCheck, ImportsAreFoundWhereTheStationLooks)
{
    const std::vector<std::string> besideAndLoaded = {"ok: imports tddep.dll: found beside the driver",
                                                      "ok: loaded with LoadLibrary, as the station loads it"};
    const std::vector<std::string> nowhere = {
        "error: imports tddep.dll: not found where the station looks (beside the station, beside the driver, in "
        "the system, on PATH); Windows will not load the driver (error 126) and the station says \"Dll non "
        "trovata\"",
        "error: LoadLibrary failed with error 126: a DLL it needs is missing; the station would say \"Dll non "
        "trovata\""};
    const struct {
        const char *name;
        bool dependencyBesideDriver;  // else in the current directory only
        bool startedInDriverFolder;
        int exitCode;
        const std::vector<std::string> &findings;
    } cases[] = {
        {"beside the driver, started elsewhere", true, false, 0, besideAndLoaded},
        {"beside the driver, started there", true, true, 0, besideAndLoaded},
        {"in the current directory only", false, false, 1, nowhere},
    };
    for (const auto &c : cases) {
        TempFolder driverFolder("drvcheck_driver");
        TempFolder elsewhere("drvcheck_elsewhere");
        ASSERT_TRUE(driverFolder.CopyFromBin("withdep\\testdrv_withdep.dll", "testdrv_withdep.dll")) << c.name;
        ASSERT_TRUE((c.dependencyBesideDriver ? driverFolder : elsewhere).CopyFromBin("withdep\\tddep.dll", "tddep.dll"))
            << c.name;
        CurrentDirectory current(c.startedInDriverFolder ? driverFolder.Path() : elsewhere.Path());
        ASSERT_TRUE(current.Changed()) << c.name;
        std::string output;
        int code = RunDrvCheck("\"" + driverFolder.Path() + "\\testdrv_withdep.dll\"", &output);
        EXPECT_EQ(c.exitCode, code) << c.name << "\n" << output;
        std::vector<std::string> lines = Lines(output);
        for (const std::string &finding : c.findings) {
            EXPECT_TRUE(HasLineStartingWith(lines, finding)) << c.name << ": expected\n" << finding << "\n" << output;
        }
    }
}

// bXRAYGetBinningMode counts by its presence alone, as the station uses it:
// drvcheck reports it present or absent and never calls it (the trap
// driver's crashes when called).
TEST(DrvCheck, BinningModeIsReportedByItsPresenceAndNeverCalled)
{
    const struct {
        const char *dll;
        const char *finding;
        const char *verdict;
    } cases[] = {
        {"testdrv_binningtrap.dll",
         "ok: exports bXRAYGetBinningMode (looked up, never called): a current driver, the title reads \"CATTURA DA "
         "SENSORE - Standalone version\" in standalone mode",
         "verdict: PASS (0 errors, 0 warnings)"},
        {"testdrv_old.dll",
         "warn: does not export bXRAYGetBinningMode: an old driver: the title reads \"CATTURA DA SENSORE - "
         "Standalone version- Old driver version\" in standalone mode",
         "verdict: PASS (0 errors, 1 warnings)"},
    };
    for (const auto &c : cases) {
        std::string output;
        int code = RunDrvCheck("\"" + BinPath(c.dll) + "\"", &output);
        EXPECT_EQ(0, code) << c.dll << "\n" << output;
        std::vector<std::string> lines = Lines(output);
        EXPECT_TRUE(HasLineStartingWith(lines, c.finding)) << c.dll << ": expected\n" << c.finding << "\n" << output;
        EXPECT_TRUE(HasLineStartingWith(lines, "ok: unloaded with FreeLibrary")) << c.dll << "\n" << output;
        ASSERT_FALSE(lines.empty()) << c.dll;
        EXPECT_EQ(c.verdict, lines.back()) << c.dll << "\n" << output;
    }
}

TEST(DrvCheck, BadCommandLinesExitWithTwo)
{
    const char *commands[] = {"", "a.dll b.dll", "a.dll --timeout", "a.dll --timeout 0", "a.dll --timeout x",
                              "a.dll --speed", "--arm"};
    for (const char *command : commands) {
        std::string output;
        EXPECT_EQ(2, RunDrvCheck(command, &output)) << command;
        EXPECT_EQ(0u, output.find("usage: drvcheck")) << command << "\n" << output;
    }
    // A path that names nothing is a finding, not a bad command line.
    std::string output;
    EXPECT_EQ(1, RunDrvCheck("\"" + BinPath("no-such-driver.dll") + "\"", &output));
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
        int code =
            RunDrvCheck("\"" + BinPath("xraysim.dll") + "\" --arm" + (c.waitsOut ? " --timeout 2" : ""), &output);
        EXPECT_EQ(c.exitCode, code) << c.variable << "=" << c.value << "\n" << output;
        EXPECT_TRUE(HasLineStartingWith(Lines(output), c.finding)) << c.variable << "=" << c.value << "\n" << output;
    }
    // Synchronised mode: nothing armed, the generator's image comes all the same.
    EnvVar mode("XRAYSIM_MODE", "1");
    EnvVar interval("XRAYSIM_INTERVAL_MS", "100");
    std::string output;
    EXPECT_EQ(0, RunDrvCheck("\"" + BinPath("xraysim.dll") + "\" --arm", &output)) << output;
    std::vector<std::string> lines = Lines(output);
    EXPECT_TRUE(HasLineStartingWith(lines, "ok: --arm: mode 1, the station does not arm; waiting for the generator's image"))
        << output;
    EXPECT_TRUE(HasLineStartingWith(lines, "ok: image 1: 512 x 768, the size XRAYSize reports")) << output;
}
