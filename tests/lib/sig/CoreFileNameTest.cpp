#include <gtest/gtest.h>

#include <string>

#include "lib/sig/CoreFileName.h"

namespace {

struct Expansion {
    const char* pattern;
    bool usesPid;
    const char* host;
    std::string name;  // empty: the expansion fails
    bool wildcard;
    size_t size = 256;
};

// Where the kernel puts the core of pid 4321 (uid 1000, gid 100, host "box",
// working directory /home/user/work) and whether the name has unknown parts.
TEST(CoreFileName, FollowsTheKernelsPatternRules) {
    const Expansion cases[] = {
        {"/var/crash/core.%p.%u.%g.%s", true, "box", "/var/crash/core.4321.1000.100.6", false},
        {"|/usr/lib/systemd/systemd-coredump %P %u", true, "box", "/home/user/work/core.4321", false},
        {"core", false, "box", "", false, 20},
    };
    for (const Expansion& c : cases) {
        SCOPED_TRACE(std::string(c.pattern ? c.pattern : "(null)") + " size " + std::to_string(c.size));
        CorePatternInputs in{c.pattern, c.usesPid, 4321, 1000, 100, c.host, "/home/user/work"};
        char out[256];
        bool wildcard = true;
        bool ok = CoreFileName_Expand(in, out, c.size, &wildcard);
        ASSERT_EQ(ok, !c.name.empty());
        if (ok) {
            EXPECT_EQ(out, c.name);
            EXPECT_EQ(wildcard, c.wildcard);
        }
    }
}

}  // namespace
