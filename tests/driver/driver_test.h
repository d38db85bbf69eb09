// Shared by the driver binding tests: the station harness with no driver
// named and no window made, so that each case writes "xray.ini" itself and
// opens the windows it needs; the registry key and "xray.ini" are restored
// afterwards and every message box and dialog answered.
#pragma once

#include <gtest/gtest.h>

#include "teststation.h"

constexpr char PATH_DIALOG_CAPTION[] = "Impostazioni sensore Vestra";

inline bool IsPathDialog(const ModalRecord &record)
{
    return record.isDialog && record.caption == PATH_DIALOG_CAPTION;
}

class DriverTest : public ::testing::Test, protected TestStation {
protected:
    DriverTest() : TestStation(StationOptions().NoDriver().Deferred()) {}
};
