// The station's DLL search while it binds a driver, and the check of each
// DLL the driver imports against it.
//
// Given a path that names a folder, the station makes that folder its DLL
// directory (SetDllDirectoryA) just before it loads the driver, keeps it
// while the driver is bound and clears it when it closes the driver; the
// load runs under SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX. Windows
// then looks for the driver's DLLs in the station's folder, the driver's
// folder (in place of the current directory), the system folders and PATH.
#include "importcheck.h"

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "loader.h"
#include "report.h"

namespace drvcheck {

namespace {

// A folder of the search, and where it is as the findings say it.
struct Place {
    std::string folder;
    const char *where;
};

// The folder a path names, made whole, as the station takes it; empty for a
// bare file name.
std::string FolderOf(const char *path)
{
    char folder[MAX_PATH];
    return DriverFolder(path, folder, sizeof folder) ? std::string(folder) : std::string();
}

bool FileExists(const std::string &path)
{
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string InFolder(const std::string &folder, const std::string &name)
{
    return folder.empty() || folder.back() == '\\' || folder.back() == '/' ? folder + name : folder + "\\" + name;
}

// API-set names ("api-ms-win-crt-runtime-l1-1-0.dll") have no file of their
// own: Windows maps them to system DLLs.
bool ApiSetName(const std::string &name)
{
    return _strnicmp(name.c_str(), "api-ms-", 7) == 0 || _strnicmp(name.c_str(), "ext-ms-", 7) == 0;
}

// The folders of the station's search, in its order. This program's own
// folder stands in for the station's, as the station is the program beside
// drvcheck, and this program's PATH for the station's. A driver named by a
// bare file name gets no DLL directory, and the current directory keeps
// its place.
std::vector<Place> SearchPlaces(const Options &options)
{
    std::vector<Place> places;
    char text[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, text, sizeof text);
    if (length > 0 && length < sizeof text) {
        places.push_back({FolderOf(text), "beside the station"});
    }
    const std::string driverFolder = FolderOf(options.driver);
    if (!driverFolder.empty()) {
        places.push_back({driverFolder, "beside the driver"});
    }
    length = GetSystemDirectoryA(text, sizeof text);
    if (length > 0 && length < sizeof text) {
        places.push_back({text, "in the system"});
    }
    length = GetWindowsDirectoryA(text, sizeof text);
    if (length > 0 && length < sizeof text) {
        places.push_back({InFolder(text, "System"), "in the system"});
        places.push_back({text, "in the system"});
    }
    if (driverFolder.empty()) {
        length = GetCurrentDirectoryA(sizeof text, text);
        if (length > 0 && length < sizeof text) {
            places.push_back({text, "in the current folder"});
        }
    }
    std::vector<char> path(GetEnvironmentVariableA("PATH", nullptr, 0) + 1, '\0');
    GetEnvironmentVariableA("PATH", path.data(), static_cast<DWORD>(path.size()));
    for (char *entry = strtok(path.data(), ";"); entry != nullptr; entry = strtok(nullptr, ";")) {
        std::string folder(entry);
        if (folder.size() >= 2 && folder.front() == '"' && folder.back() == '"') {
            folder = folder.substr(1, folder.size() - 2);
        }
        if (!folder.empty()) {
            places.push_back({folder, "on PATH"});
        }
    }
    return places;
}

// Where the search finds the DLL `name` first; null when nowhere.
const char *FoundWhere(const std::vector<Place> &places, const std::string &name)
{
    for (const Place &place : places) {
        if (FileExists(InFolder(place.folder, name))) {
            return place.where;
        }
    }
    if (ApiSetName(name)) {
        // Loaded as data only: its code never runs here.
        HMODULE system = LoadLibraryExA(name.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        if (system != nullptr) {
            FreeLibrary(system);
            return "in the system";
        }
    }
    return nullptr;
}

}  // namespace

// Reports where the station finds each DLL the driver imports: the first
// folder of its search that holds it.
void CheckImports(const Options &options, const PeImage &image)
{
    const std::vector<Place> places = SearchPlaces(options);
    // The places by name, in the order of the search, each once.
    std::string searched;
    for (const Place &place : places) {
        if (searched.find(place.where) == std::string::npos) {
            searched += std::string(searched.empty() ? "" : ", ") + place.where;
        }
    }

    for (const std::string &name : image.imports) {
        const char *found = FoundWhere(places, name);
        if (found != nullptr) {
            Report(Level::Ok, "imports %s: found %s", name.c_str(), found);
        } else {
            Report(Level::Error,
                   "imports %s: not found where the station looks (%s); Windows will not load the driver "
                   "(error 126) and the station says \"Dll non trovata\"",
                   name.c_str(), searched.c_str());
        }
    }
}

}  // namespace drvcheck
