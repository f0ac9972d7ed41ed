#include "tools/desktop-sandbox/PrivateSystemDirs.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace sandbox {
namespace {

bool IsSameOrBelow(const std::string& path, const std::string& dir) {
    return path == dir || (path.starts_with(dir) && path.size() > dir.size() && path[dir.size()] == '/');
}

std::vector<std::string> MountPoints() {
    std::ifstream mountInfo("/proc/self/mountinfo");
    std::vector<std::string> points;
    for (std::string line; std::getline(mountInfo, line);) {
        std::istringstream fields(line);
        std::string id, parent, device, root, point;
        fields >> id >> parent >> device >> root >> point;
        points.push_back(point);
    }
    return points;
}

}  // namespace

bool ApplyMountPlan(const MountPlan& plan, const char** failedTarget) {
    *failedTarget = "unshare";
    if (unshare(CLONE_NEWNS) != 0) {
        return false;
    }
    // Without this, the mounts below would propagate back into the
    // namespace the test was started from.
    *failedTarget = "/";
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return false;
    }
    for (const MountOp& op : plan) {
        *failedTarget = op.target.c_str();
        if (op.makeDir
                ? mkdir(op.target.c_str(), 0755) != 0 && errno != EEXIST
                : mount(op.source.c_str(), op.target.c_str(), op.fsType.empty() ? nullptr : op.fsType.c_str(),
                        op.flags, op.data.empty() ? nullptr : op.data.c_str()) != 0) {
            return false;
        }
    }
    *failedTarget = nullptr;
    return true;
}

SystemDirsLayout::SystemDirsLayout() {
    for (std::string_view fixedDir : kFixedSystemDirs) {
        fs::create_directories(HostPath(fixedDir));
    }
}

std::string SystemDirsLayout::HostPath(std::string_view fixedDir) const {
    if (std::find(kFixedSystemDirs.begin(), kFixedSystemDirs.end(), fixedDir) == kFixedSystemDirs.end()) {
        throw std::invalid_argument("not a fixed system directory: " + std::string(fixedDir));
    }
    std::string name(fixedDir.substr(1));
    std::replace(name.begin(), name.end(), '/', '_');
    return root_.Path() + "/dirs/" + name;
}

MountPlan SystemDirsLayout::BuildPlan(
    const std::vector<std::pair<std::string, std::string>>& standIns) const {
    const std::vector<std::string> mountPoints = MountPoints();
    const unsigned planNumber = plansBuilt_++;
    std::vector<std::string> overlaid;
    MountPlan plan;
    // kFixedSystemDirs lists /var/tarvelo before /var/log/tarvelo, so the
    // overlay made for /var also serves /var/log: overlays do not stack
    // deeper than the kernel allows.
    for (std::string_view fixedView : kFixedSystemDirs) {
        const std::string fixedDir(fixedView);
        if (!fs::exists(fixedDir)) {
            const std::string parent = fs::path(fixedDir).parent_path().string();
            // A mount point between an overlay and the parent hides that overlay.
            const bool covered = std::any_of(overlaid.begin(), overlaid.end(), [&](const std::string& dir) {
                return IsSameOrBelow(parent, dir) &&
                       std::none_of(mountPoints.begin(), mountPoints.end(), [&](const std::string& point) {
                           return point != dir && IsSameOrBelow(point, dir) && IsSameOrBelow(parent, point);
                       });
            });
            if (!covered) {
                // The overlay shows only the parent's own file system; the
                // mounts below it come back from a recursive bind made first.
                // Each namespace gets overlay directories of its own: an
                // overlay refuses a work directory that another one uses.
                const std::string base = root_.Path() + "/overlay-" + std::to_string(planNumber) + "-" +
                                         std::to_string(overlaid.size());
                for (const char* sub : {"/upper", "/work", "/stash"}) {
                    fs::create_directories(base + sub);
                }
                plan.push_back({.source = parent, .target = base + "/stash", .flags = MS_BIND | MS_REC});
                plan.push_back({.source = "overlay",
                                .target = parent,
                                .fsType = "overlay",
                                .data = "lowerdir=" + parent + ",upperdir=" + base +
                                        "/upper,workdir=" + base + "/work"});
                for (const std::string& point : mountPoints) {
                    if (point != parent && IsSameOrBelow(point, parent)) {
                        plan.push_back({.source = base + "/stash" + point.substr(parent.size()),
                                        .target = point,
                                        .flags = MS_BIND | MS_REC});
                    }
                }
                overlaid.push_back(parent);
            }
            plan.push_back({.target = fixedDir, .makeDir = true});
        }
        const auto standIn = std::find_if(standIns.begin(), standIns.end(),
                                          [&](const auto& entry) { return entry.first == fixedDir; });
        const std::string source = standIn != standIns.end() ? standIn->second : HostPath(fixedView);
        plan.push_back({.source = source, .target = fixedDir, .flags = MS_BIND});
    }
    for (const auto& [source, target] : extraBinds_) {
        plan.push_back({.source = source, .target = target, .flags = MS_BIND});
    }
    return plan;
}

}  // namespace sandbox
