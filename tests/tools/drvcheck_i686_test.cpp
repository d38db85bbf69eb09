// The drvcheck cases that are an i686 matter, built and run only in the
// i686 flavour: the thunk that watches the stack pointer, and exports whose
// names the calling convention decorated. x86-64 has one calling convention,
// so the x86_64 flavour builds neither driver and lists these cases by name
// as not run there (tests/tools/CMakeLists.txt reads their names from here).
#include <gtest/gtest.h>

#include "drvcheck_report.h"

static_assert(sizeof(void *) == 4, "the i686 flavour's cases");

TEST(DrvCheck, StdcallDriverTakesItsArgumentsOffTheStack)
{
#ifdef HAVE_TESTDRV_STDCALL
    // XRAYSize's two pointers, four bytes each.
    ExpectFailingFinding("testdrv_stdcall.dll", "",
                         "error: XRAYSize took 8 bytes of its own arguments off the stack (callee-cleans, "
                         "__stdcall): the station calls it __cdecl and takes them off again, which corrupts its "
                         "stack; declare it extern \"C\" __cdecl");
#else
    GTEST_SKIP() << "testdrv_stdcall.dll needs the GNU linker's --kill-at";
#endif
}

TEST(DrvCheck, DecoratedExportsAreACallingConventionError)
{
    ExpectFailingFinding("testdrv_decorated.dll", "",
                         "error: exports XRAYOpen@12, not XRAYOpen: a decorated (calling-convention) name the "
                         "station cannot find; rename the export to XRAYOpen (extern \"C\" __cdecl, named in a "
                         ".def file)");
}
