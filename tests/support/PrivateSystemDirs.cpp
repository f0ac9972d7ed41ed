#include "tests/support/PrivateSystemDirs.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace dctest {
namespace {

std::string StandInName(std::string_view fixedDir) {
    std::string name(fixedDir.substr(1));
    std::replace(name.begin(), name.end(), '/', '_');
    return name;
}

// mountinfo escapes blanks and backslashes in paths as \ooo.
std::string UnescapeMountPath(const std::string& text) {
    std::string path;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size()) {
            path += static_cast<char>(std::stoi(text.substr(i + 1, 3), nullptr, 8));
            i += 3;
        } else {
            path += text[i];
        }
    }
    return path;
}

std::vector<std::string> MountPoints() {
    std::ifstream mountInfo("/proc/self/mountinfo");
    std::vector<std::string> points;
    std::string line;
    while (std::getline(mountInfo, line)) {
        std::istringstream fields(line);
        std::string id, parent, device, root, point;
        fields >> id >> parent >> device >> root >> point;
        points.push_back(UnescapeMountPath(point));
    }
    return points;
}

bool IsBelow(const std::string& path, const std::string& dir) {
    return path.size() > dir.size() && path.starts_with(dir) && path[dir.size()] == '/';
}

bool IsSameOrBelow(const std::string& path, const std::string& dir) {
    return path == dir || IsBelow(path, dir);
}

// Mount points strictly below dir that are not nested in another of them.
std::vector<std::string> TopSubmounts(const std::string& dir, const std::vector<std::string>& points) {
    std::vector<std::string> below;
    for (const std::string& point : points) {
        if (IsBelow(point, dir)) {
            below.push_back(point);
        }
    }
    std::vector<std::string> top;
    for (const std::string& point : below) {
        bool nested = std::any_of(below.begin(), below.end(),
                                  [&](const std::string& other) { return IsBelow(point, other); });
        if (!nested && std::find(top.begin(), top.end(), point) == top.end()) {
            top.push_back(point);
        }
    }
    return top;
}

class PlanBuilder {
  public:
    PlanBuilder(const std::string& root) : root_(root), mountPoints_(MountPoints()) {}

    void AddFixedDir(const std::string& fixedDir, const std::string& standIn) {
        if (!fs::exists(fixedDir)) {
            MakeWritable(fs::path(fixedDir).parent_path().string());
            plan_.ops.push_back({MountOp::Kind::kMakeDir, "", fixedDir, "", "", 0});
        }
        AddBind(standIn, fixedDir);
    }

    void AddBind(const std::string& source, const std::string& target) {
        plan_.ops.push_back({MountOp::Kind::kMount, source, target, "", "", MS_BIND});
    }

    MountPlan Take() { return std::move(plan_); }

  private:
    // Makes dir writable inside the namespace, unless an overlay already
    // covers it: an overlay with dir as its own lower layer, whose upper
    // layer lives in the temp tree. Mounts below dir would be hidden by the
    // overlay, so they are reached through a recursive bind made first and
    // put back on top of it.
    void MakeWritable(const std::string& dir) {
        if (!fs::is_directory(dir)) {
            throw std::runtime_error("fixed directory parent missing: " + dir);
        }
        if (IsCoveredByOverlay(dir)) {
            return;
        }
        std::string base = root_ + "/overlay-" + std::to_string(overlays_.size());
        for (const char* sub : {"/upper", "/work", "/stash"}) {
            fs::create_directories(base + sub);
        }
        std::vector<std::string> submounts = TopSubmounts(dir, mountPoints_);
        if (!submounts.empty()) {
            plan_.ops.push_back({MountOp::Kind::kMount, dir, base + "/stash", "", "", MS_BIND | MS_REC});
        }
        std::string options = "lowerdir=" + dir + ",upperdir=" + base + "/upper,workdir=" + base + "/work";
        plan_.ops.push_back({MountOp::Kind::kMount, "overlay", dir, "overlay", options, 0});
        for (const std::string& submount : submounts) {
            plan_.ops.push_back({MountOp::Kind::kMount, base + "/stash" + submount.substr(dir.size()),
                                 submount, "", "", MS_BIND | MS_REC});
        }
        overlays_.push_back({dir, submounts});
    }

    bool IsCoveredByOverlay(const std::string& dir) const {
        return std::any_of(overlays_.begin(), overlays_.end(), [&](const Overlay& overlay) {
            if (!IsSameOrBelow(dir, overlay.dir)) {
                return false;
            }
            return std::none_of(overlay.submounts.begin(), overlay.submounts.end(),
                                [&](const std::string& sub) { return IsSameOrBelow(dir, sub); });
        });
    }

    struct Overlay {
        std::string dir;
        std::vector<std::string> submounts;
    };

    std::string root_;
    std::vector<std::string> mountPoints_;
    std::vector<Overlay> overlays_;
    MountPlan plan_;
};

}  // namespace

SystemDirsLayout::SystemDirsLayout() {
    for (std::string_view fixedDir : kFixedSystemDirs) {
        fs::create_directories(HostPath(fixedDir));
    }
}

std::string SystemDirsLayout::HostPath(std::string_view fixedDir) const {
    if (std::find(kFixedSystemDirs.begin(), kFixedSystemDirs.end(), fixedDir) == kFixedSystemDirs.end()) {
        throw std::invalid_argument("not a fixed system directory: " + std::string(fixedDir));
    }
    return root_.Path() + "/dirs/" + StandInName(fixedDir);
}

void SystemDirsLayout::AddBind(std::string source, std::string target) {
    extraBinds_.emplace_back(std::move(source), std::move(target));
}

MountPlan SystemDirsLayout::BuildPlan() const {
    // Parents first, so that an overlay made for /var also serves
    // /var/log without a second, stacked overlay.
    std::vector<std::string_view> dirs(kFixedSystemDirs.begin(), kFixedSystemDirs.end());
    std::sort(dirs.begin(), dirs.end(),
              [](std::string_view a, std::string_view b) { return a.size() < b.size(); });
    PlanBuilder builder(root_.Path());
    for (std::string_view dir : dirs) {
        builder.AddFixedDir(std::string(dir), HostPath(dir));
    }
    for (const auto& [source, target] : extraBinds_) {
        builder.AddBind(source, target);
    }
    return builder.Take();
}

PrivateSystemDirs::PrivateSystemDirs() {
    originalNamespace_ = open("/proc/self/ns/mnt", O_RDONLY | O_CLOEXEC);
    if (originalNamespace_ < 0) {
        throw std::runtime_error("cannot open the current mount namespace");
    }
    plan_ = layout_.BuildPlan();
    const char* failed = nullptr;
    if (!ApplyMountPlan(plan_, &failed)) {
        std::string what =
            std::string("private system dirs: mount step failed at ") + failed + ": " + strerror(errno);
        LeaveNamespace();
        throw std::runtime_error(what);
    }
}

PrivateSystemDirs::~PrivateSystemDirs() {
    LeaveNamespace();
}

void PrivateSystemDirs::LeaveNamespace() {
    // Going back leaves the private namespace without members, so the
    // kernel drops its mounts and the temp tree can be removed. setns
    // refuses while other threads exist; then the mounts are detached.
    if (setns(originalNamespace_, CLONE_NEWNS) != 0) {
        for (auto op = plan_.ops.rbegin(); op != plan_.ops.rend(); ++op) {
            if (op->kind == MountOp::Kind::kMount) {
                umount2(op->target.c_str(), MNT_DETACH);
            }
        }
    }
    close(originalNamespace_);
}

}  // namespace dctest
