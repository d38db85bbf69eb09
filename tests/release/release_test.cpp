// What the release puts on the programs: the version resource of every
// shipped program, and the station's manifest, read from the file and seen
// on a running station.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "fixtures.h"

namespace {

std::vector<std::string> ShippedPrograms()
{
    std::vector<std::string> names;
    std::stringstream list(CAP_RELEASE_FILES);
    std::string name;
    while (std::getline(list, name, ';')) {
        names.push_back(name);
    }
    return names;
}

std::string VersionString(const std::vector<char> &info, const char *translation, const char *field)
{
    char query[128];
    snprintf(query, sizeof query, "\\StringFileInfo\\%s\\%s", translation, field);
    void *value = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(info.data(), query, &value, &length) || value == nullptr) {
        return "(missing)";
    }
    return std::string(static_cast<const char *>(value));
}

std::string StationManifest()
{
    HMODULE module = LoadLibraryExA(BinPath("capstation.exe").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (module == nullptr) {
        return "";
    }
    std::string text;
    HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));  // RT_MANIFEST
    HGLOBAL loaded = found ? LoadResource(module, found) : nullptr;
    const char *data = loaded ? static_cast<const char *>(LockResource(loaded)) : nullptr;
    if (data != nullptr) {
        text.assign(data, SizeofResource(module, found));
    }
    FreeLibrary(module);
    return text;
}

}  // namespace

TEST(Release, EveryShippedProgramCarriesTheProjectVersion)
{
    const DWORD versionMS = MAKELONG(CAP_VERSION_MINOR, CAP_VERSION_MAJOR);
    const DWORD versionLS = MAKELONG(0, CAP_VERSION_PATCH);
    for (const std::string &name : ShippedPrograms()) {
        SCOPED_TRACE(name);
        std::string path = BinPath(name.c_str());
        DWORD handle = 0;
        DWORD size = GetFileVersionInfoSizeA(path.c_str(), &handle);
        ASSERT_NE(size, 0u) << "no version resource";
        std::vector<char> info(size);
        ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, info.data()));

        VS_FIXEDFILEINFO *fixed = nullptr;
        UINT length = 0;
        ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void **>(&fixed), &length));
        EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
        EXPECT_EQ(fixed->dwFileVersionMS, versionMS);
        EXPECT_EQ(fixed->dwFileVersionLS, versionLS);
        EXPECT_EQ(fixed->dwProductVersionMS, versionMS);
        EXPECT_EQ(fixed->dwProductVersionLS, versionLS);

        WORD *pair = nullptr;
        ASSERT_TRUE(VerQueryValueA(info.data(), "\\VarFileInfo\\Translation",
                                   reinterpret_cast<void **>(&pair), &length));
        ASSERT_GE(length, 4u);
        char translation[16];
        snprintf(translation, sizeof translation, "%04x%04x", pair[0], pair[1]);
        EXPECT_EQ(VersionString(info, translation, "FileVersion"), CAP_VERSION);
        EXPECT_EQ(VersionString(info, translation, "ProductVersion"), CAP_VERSION);
        EXPECT_EQ(VersionString(info, translation, "ProductName"), "Capture station");
        EXPECT_EQ(VersionString(info, translation, "OriginalFilename"), name);
        std::string description = VersionString(info, translation, "FileDescription");
        EXPECT_TRUE(description != "" && description != "(missing)") << description;
    }
}

TEST(Release, StationManifestDeclaresDpiAwarenessAndNoExecutionLevel)
{
    std::string manifest = StationManifest();
    ASSERT_NE(manifest, "") << "capstation.exe has no RT_MANIFEST resource 1";
    EXPECT_NE(manifest.find("<dpiAware xmlns=\"http://schemas.microsoft.com/SMI/2005/WindowsSettings\">"
                            "true</dpiAware>"),
              std::string::npos)
        << manifest;
    static const char *const absent[] = {"requestedExecutionLevel", "trustInfo", "Common-Controls"};
    for (const char *word : absent) {
        EXPECT_EQ(manifest.find(word), std::string::npos) << word << " in\n" << manifest;
    }
    static const char *const systems[] = {
        "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  // Windows 7
        "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  // Windows 8
        "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  // Windows 8.1
        "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  // Windows 10 and 11
    };
    for (const char *id : systems) {
        EXPECT_NE(manifest.find(std::string("<supportedOS Id=\"") + id + "\"/>"), std::string::npos) << id;
    }
}

// The system's own reading of the manifest, through an activation context
// made from capstation.exe's resource 1: DPI aware, the four systems, no run
// level. (Under Wine every process, with or without a manifest, reports
// itself per-monitor DPI aware, so a running station's IsProcessDPIAware()
// proves nothing there; this is what Wine can show.)
TEST(Release, SystemReadsTheStationManifestAsMeant)
{
    std::string exe = BinPath("capstation.exe");
    ACTCTXA context = {};
    context.cbSize = sizeof context;
    context.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
    context.lpSource = exe.c_str();
    context.lpResourceName = MAKEINTRESOURCEA(1);
    HANDLE actx = CreateActCtxA(&context);
    ASSERT_NE(actx, INVALID_HANDLE_VALUE) << "error " << GetLastError();

    using QuerySettings = BOOL(WINAPI *)(DWORD, HANDLE, const WCHAR *, const WCHAR *, WCHAR *, SIZE_T, SIZE_T *);
    auto querySettings = reinterpret_cast<QuerySettings>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "QueryActCtxSettingsW")));
    ASSERT_TRUE(querySettings != nullptr);
    WCHAR value[64] = L"";
    SIZE_T length = 0;
    EXPECT_TRUE(querySettings(0, actx, L"http://schemas.microsoft.com/SMI/2005/WindowsSettings", L"dpiAware", value,
                              64, &length))
        << "error " << GetLastError();
    EXPECT_STREQ(value, L"true");

    // Run level: ACTIVATION_CONTEXT_RUN_LEVEL_INFORMATION, class 5.
    struct {
        DWORD flags;
        DWORD runLevel;
        DWORD uiAccess;
    } runLevel = {0, 99, 99};
    EXPECT_TRUE(QueryActCtxW(0, actx, nullptr, 5, &runLevel, sizeof runLevel, nullptr)) << "error " << GetLastError();
    EXPECT_EQ(runLevel.runLevel, 0u) << "ACTCTX_RUN_LEVEL_UNSPECIFIED expected";

    // Compatibility: ACTIVATION_CONTEXT_COMPATIBILITY_INFORMATION, class 6:
    // a count, then { GUID, type } with type 1 for an operating system.
    std::vector<char> compat(1024);
    ASSERT_TRUE(QueryActCtxW(0, actx, nullptr, 6, compat.data(), compat.size(), nullptr))
        << "error " << GetLastError();
    DWORD count = *reinterpret_cast<DWORD *>(compat.data());
    EXPECT_EQ(count, 4u);
    ReleaseActCtx(actx);
}
