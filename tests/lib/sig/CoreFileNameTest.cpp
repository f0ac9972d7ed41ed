#include <gtest/gtest.h>

#include <string>

#include "lib/sig/CoreFileName.h"

namespace {

struct Expansion {
    bool ok;
    std::string name;
    bool wildcard;
};

Expansion Expand(const char* pattern, bool usesPid, const char* host = "box", size_t size = 256) {
    CorePatternInputs in{pattern, usesPid, 4321, 1000, 100, host, "/home/user/work"};
    char out[256];
    bool wildcard = true;
    bool ok = CoreFileName_Expand(in, out, size, &wildcard);
    return {ok, ok ? out : "", wildcard};
}

TEST(CoreFileName, PlainAndRelativePatternsFollowTheKernel) {
    auto plain = Expand("core", false);
    EXPECT_EQ(plain.name, "/home/user/work/core");
    EXPECT_FALSE(plain.wildcard);
    EXPECT_EQ(Expand("core", true).name, "/home/user/work/core.4321");
    EXPECT_EQ(Expand(nullptr, true).name, "/home/user/work/core.4321");
    EXPECT_EQ(Expand("", false).name, "/home/user/work/core");
    EXPECT_EQ(Expand("dumps/core.%p", true).name, "/home/user/work/dumps/core.4321");
}

TEST(CoreFileName, SpecifiersExpandAndPidIsNotAppendedTwice) {
    auto full = Expand("/var/crash/core.%p.%u.%g.%s", true);
    EXPECT_EQ(full.name, "/var/crash/core.4321.1000.100.6");
    EXPECT_FALSE(full.wildcard);
    EXPECT_EQ(Expand("/c/%h.%%.%z.%", false).name, "/c/box.%..");

    auto unknown = Expand("/c/core-%e-%t", false);
    EXPECT_EQ(unknown.name, "/c/core-*-*");
    EXPECT_TRUE(unknown.wildcard);
    auto noHost = Expand("/c/%h/core", true, nullptr);
    EXPECT_EQ(noHost.name, "/c/*/core.4321");
    EXPECT_TRUE(noHost.wildcard);
}

TEST(CoreFileName, PipedCoresFallBackToCoreAndLongNamesFail) {
    EXPECT_EQ(Expand("|/usr/lib/systemd/systemd-coredump %P %u", true).name, "/home/user/work/core.4321");
    EXPECT_EQ(Expand("|/bin/handler", false).name, "/home/user/work/core");

    EXPECT_TRUE(Expand("core", false, "box", 21).ok);
    EXPECT_FALSE(Expand("core", false, "box", 20).ok);
    EXPECT_FALSE(Expand("/c/core.%p", false, "box", 10).ok);
}

}  // namespace
