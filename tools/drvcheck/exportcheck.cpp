// The exports of the driver contract in the driver's name table: found,
// found only under a decorated name, or missing, with what the station does
// without each optional one, from its own wrappers.
#include "exportcheck.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "hosttag.h"
#include "loader.h"
#include "report.h"
#include "settings.h"
#include "xraydrv.h"
#include "xrayexports.h"

namespace drvcheck {

namespace {

bool Exported(const PeImage &image, const std::string &name)
{
    for (const std::string &e : image.exports) {
        if (e == name) {
            return true;
        }
    }
    return false;
}

// A decorated look-alike of `name`: "_Name@N", "Name@N", "@Name@N" or "_Name".
std::string DecoratedLookAlike(const PeImage &image, const std::string &name)
{
    for (const std::string &e : image.exports) {
        std::string core = e;
        if (!core.empty() && (core[0] == '_' || core[0] == '@')) {
            core.erase(0, 1);
        }
        size_t at = core.find('@');
        if (at != std::string::npos && core.find_first_not_of("0123456789", at + 1) == std::string::npos &&
            at + 1 < core.size()) {
            core.erase(at);
        }
        if (core == name && e != name) {
            return e;
        }
    }
    return std::string();
}

// What the station does without each optional export, from its own
// wrappers with no driver bound.
std::string WithoutExport(const char *name)
{
    char text[256];
    if (strcmp(name, XRAY_CLOSE_EXPORT) == 0) {
        return "the station frees the library without closing the driver";
    }
    if (strcmp(name, XRAY_PREPARE_ACQUISITION_EXPORT) == 0) {
        StartAcquisition();
        return "F1 arms nothing, so no image comes in standalone mode";
    }
    if (strcmp(name, XRAY_RESOLUTION_EXPORT) == 0) {
        double first = 0.0, second = 0.0;
        int result = GetSensorResolution(&first, &second);
        snprintf(text, sizeof text,
                 "the station's resolution stays %g, %g (result %d): tags front end 0x%08lX, photo server 0x%08lX",
                 first, second, result, static_cast<unsigned long>(FrontEndTag(first)),
                 static_cast<unsigned long>(PhotoServerTag(first, second)));
        return text;
    }
    if (strcmp(name, XRAY_SIZE_EXPORT) == 0) {
        int width = 0, height = 0;
        GetSensorSize(&width, &height);
        snprintf(text, sizeof text, "the station takes every image to be %d x %d", width, height);
        return text;
    }
    if (strcmp(name, XRAY_GET_BINNING_MODE_EXPORT) == 0) {
        char title[256] = "";
        CreationTitleText(XRAY_MODE_STANDALONE, HasBinningMode(), title, sizeof title);
        snprintf(text, sizeof text, "an old driver: the title reads \"%s\" in standalone mode", title);
        return text;
    }
    snprintf(text, sizeof text, "a change of resolution answers %d: high resolution is never activated",
             ChangeBinningMode(1));
    return text;
}

}  // namespace

void CheckExports(const PeImage &image)
{
    for (const char *name : XRAY_EXPORT_NAMES) {
        if (Exported(image, name) && strcmp(name, XRAY_GET_BINNING_MODE_EXPORT) == 0) {
            // The station never calls it: it only picks the title by it.
            char title[256] = "";
            CreationTitleText(XRAY_MODE_STANDALONE, 1, title, sizeof title);
            Report(Level::Ok, "exports %s (looked up, never called): a current driver, the title reads \"%s\" in "
                              "standalone mode",
                   name, title);
            continue;
        }
        if (Exported(image, name)) {
            Report(Level::Ok, "exports %s", name);
            continue;
        }
        std::string lookAlike = DecoratedLookAlike(image, name);
        if (!lookAlike.empty()) {
            Report(Level::Error,
                   "exports %s, not %s: a decorated (calling-convention) name the station cannot find; rename "
                   "the export to %s (extern \"C\" __cdecl, named in a .def file)",
                   lookAlike.c_str(), name, name);
        } else if (strcmp(name, XRAY_OPEN_EXPORT) == 0) {
            Report(Level::Error, "does not export XRAYOpen: the station cannot open the driver");
        } else {
            Report(Level::Warn, "does not export %s: %s", name, WithoutExport(name).c_str());
        }
    }
}

}  // namespace drvcheck
