// drvcheck.exe: checks a sensor driver DLL against the station's driver
// contract and says, one finding a line, what is right and what is wrong:
//
//   drvcheck PATH\TO\DRIVER.dll [--arm] [--timeout SECONDS] [--save DIR] [--json FILE]
//
// First the file itself (a PE DLL of the station's bitness: 32-bit x86 in
// the i686 product, 64-bit x64 in the x86_64 test flavour; the DLLs it
// imports, its exports), read without loading it. Then a smoke run in a
// child process of this program (started again with a hidden flag), which
// loads the driver as the station does, opens it on a hidden window and
// calls it (on i686 through a thunk that watches the stack pointer); a
// driver that hangs or crashes takes only the child with it, and the parent
// reports where it stopped.
//
// The station's own code decides what the station would do: its wrappers'
// defaults, its titles and boxes for the driver mode, its host tags, its
// layout check of an image block and its event notice texts are called from
// the station's libraries, never copied here.
//
// This file holds the entry point: the parent's checks in their order, the
// verdict and the exit code. The file checks are in filecheck.cpp,
// importcheck.cpp and exportcheck.cpp (the PE reader in peimage.cpp), the
// parent's side of the smoke run in smokerun.cpp, the child in
// smokechild.cpp, childreport.cpp, imagecheck.cpp and stackprobe.cpp, the
// findings and the JSON report in report.cpp, the command line in
// options.cpp.
#include <cstdio>

#include "exportcheck.h"
#include "filecheck.h"
#include "importcheck.h"
#include "options.h"
#include "peimage.h"
#include "report.h"
#include "smokechild.h"
#include "smokerun.h"

namespace {

constexpr char USAGE_TEXT[] =
    "usage: drvcheck DRIVER.dll [--arm] [--timeout SECONDS] [--save DIR] [--json FILE]\n";

}  // namespace

int main(int argc, char **argv)
{
    using namespace drvcheck;
    Options options;
    if (!ParseArguments(argc, argv, &options)) {
        fputs(USAGE_TEXT, stderr);
        return EXIT_USAGE;
    }
    if (options.childReport != nullptr) {
        return RunChild(options);
    }
    printf("drvcheck %s\n", options.driver);
    PeImage image;
    if (CheckFile(options, &image)) {
        CheckImports(options, image);
        CheckExports(image);
        SmokeRun(options);
    }
    int errors = 0, warnings = 0;
    CountFindings(&errors, &warnings);
    printf("verdict: %s (%d errors, %d warnings)\n", errors == 0 ? "PASS" : "FAIL", errors, warnings);
    if (options.jsonPath != nullptr && !WriteJson(options.jsonPath, options, errors, warnings)) {
        fprintf(stderr, "drvcheck: cannot write %s\n", options.jsonPath);
        return EXIT_ERRORS;
    }
    return errors == 0 ? EXIT_CLEAN : EXIT_ERRORS;
}
