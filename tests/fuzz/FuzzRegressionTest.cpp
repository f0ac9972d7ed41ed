// Every seed and every input a fuzz target once failed on goes through the
// target's entry function again. Each input runs in a child process of its
// own, so a regression shows up as that file's abnormal exit (a sanitizer
// report, a violated property, a crash) while the other files still run.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "fuzz/entries/FuzzEntries.h"

namespace fs = std::filesystem;

namespace dcfuzz {
// Names the target in test output instead of dumping the struct's bytes.
void PrintTo(const Entry& entry, std::ostream* out) {
    *out << entry.target;
}
}  // namespace dcfuzz

namespace {

fs::path SourceDir() {
    const char* dir = std::getenv("DC_SOURCE_DIR");
    return dir != nullptr && *dir != '\0' ? fs::path(dir) : fs::path(DC_FUZZ_SOURCE_DIR);
}

std::vector<fs::path> FilesIn(const fs::path& dir) {
    std::vector<fs::path> files;
    if (fs::is_directory(dir)) {
        for (const auto& entry : fs::directory_iterator(dir)) {
            if (entry.is_regular_file() && entry.path().filename().string().front() != '.') {
                files.push_back(entry.path());
            }
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<uint8_t> ReadBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void ReplayInChild(const dcfuzz::Entry& entry, const fs::path& file) {
    SCOPED_TRACE(file.string());
    const std::vector<uint8_t> bytes = ReadBytes(file);
    EXPECT_EXIT(
        {
            entry.run(bytes.data(), bytes.size());
            std::exit(0);  // runs the entries' clean-up of their scratch files
        },
        ::testing::ExitedWithCode(0), "")
        << "input " << file << " no longer completes";
}

class FuzzRegression : public ::testing::TestWithParam<dcfuzz::Entry> {
  protected:
    // The entries start threads (the dispatcher's executor), so children
    // re-run the test binary instead of forking a threaded process.
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

// The seeds document what each target reads and must all pass; the
// regression folder may be empty for a target that never failed.
TEST_P(FuzzRegression, SeedsAndFoundInputsComplete) {
    const dcfuzz::Entry& entry = GetParam();
    const std::vector<fs::path> seeds = FilesIn(SourceDir() / "fuzz" / "corpus" / entry.target);
    ASSERT_FALSE(seeds.empty()) << "no seed corpus for " << entry.target;
    for (const fs::path& file : seeds) {
        ReplayInChild(entry, file);
    }
    for (const fs::path& file : FilesIn(SourceDir() / "fuzz" / "regressions" / entry.target)) {
        ReplayInChild(entry, file);
    }
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzRegression, ::testing::ValuesIn(dcfuzz::AllEntries()),
                         [](const ::testing::TestParamInfo<dcfuzz::Entry>& info) {
                             return std::string(info.param.target);
                         });

}  // namespace
