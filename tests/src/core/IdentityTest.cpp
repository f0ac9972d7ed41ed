// The desktop id files: which one names the desktop when BRV_DESKTOP_ID
// does not.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "src/core/SessionDetection.h"
#include "tests/support/Sandbox.h"

using namespace std::chrono_literals;

namespace {

TEST(DesktopIdFileTest, EnvironmentDecidesWhichSourceIsUsed) {
    dctest::SystemDirsLayout layout;
    std::string ids = layout.HostPath("/var/tarvelo") + "/brv_desktop";
    std::filesystem::create_directories(ids);
    std::ofstream(ids + "/brv_desktopid.1") << "DESKTOPID=11\n";
    std::ofstream(ids + "/brv_desktopid.0") << "DESKTOPID=10\n";
    dctest::ChildResult result = dctest::RunForked(
        {.layout = &layout},
        [] {
            unsetenv("BRV_DESKTOP_ID");
            unsetenv("WAYLAND_DISPLAY");
            unsetenv("DISPLAY");
            int failures = GetDesktopId() != "" ? 1 : 0;
            setenv("WAYLAND_DISPLAY", "", 1);
            setenv("DISPLAY", ":1", 1);
            failures += GetDesktopId() != "11" ? 2 : 0;
            setenv("WAYLAND_DISPLAY", "wayland-0", 1);
            failures += GetDesktopId() != "10" ? 4 : 0;
            // The variable, when set, is checked end to end.
            return failures;
        },
        10s);
    EXPECT_EQ(result.exitStatus, 0) << result.err;
}

}  // namespace
