// Records per second through the log file output, against plain write(2)
// of the same bytes to a file in the same directory.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include <benchmark/benchmark.h>

#include "lib/log/Log.h"
#include "lib/log/LogFileOutput.h"

namespace {

constexpr const char* kRecord = "DesktopCProcessMgr->StartProcess Start process %s\n";

std::string BenchDir() {
    static std::string dir = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "dclog-bench-XXXXXX").string();
        return std::string(mkdtemp(pattern.data()));
    }();
    return dir;
}

std::string RecordText() {
    char text[256];
    snprintf(text, sizeof text, kRecord, "RdeProcess");
    return text;
}

dclog::SettingsLayer FixedLayer(std::string path) {
    dclog::SettingsLayer layer;
    layer.getString = [path](const char* def, const char* name) -> std::optional<std::string> {
        if (std::string(name) == "log.fileName") {
            return path;
        }
        return def != nullptr ? std::optional<std::string>(def) : std::nullopt;
    };
    // Throttling off: the benchmark measures the write path itself.
    layer.getInt32 = [](int32_t def, const char* name) {
        return std::string(name) == "log.throttleBytesPerSec" ? -1 : def;
    };
    return layer;
}

void BM_LogFileOutput(benchmark::State& state) {
    dclog::LogAreas areas;
    areas.tempRoot = BenchDir();
    const std::string path = BenchDir() + "/bench.log";
    if (dclog::StartFileOutputIn(areas, dclog::MonotonicMicros, "Bench", FixedLayer(path), {}, false) ==
        nullptr) {
        state.SkipWithError("log file output did not start");
        return;
    }
    for (auto _ : state) {
        LogMessage(dclog::kInfo, kRecord, "RdeProcess");
    }
    Log_Shutdown();
    state.SetItemsProcessed(state.iterations());
    std::filesystem::remove(path);
}

void BM_PlainWrite(benchmark::State& state) {
    const std::string path = BenchDir() + "/plain.log";
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0640);
    // The same bytes the file output writes: prefix and record.
    const std::string line = "2026-01-02T03:04:05.678Z In(05) bench " + RecordText();
    for (auto _ : state) {
        benchmark::DoNotOptimize(write(fd, line.data(), line.size()));
    }
    close(fd);
    state.SetItemsProcessed(state.iterations());
    std::filesystem::remove(path);
}

void BM_GatedOut(benchmark::State& state) {
    for (auto _ : state) {
        LogMessage(dclog::kDebug2, kRecord, "RdeProcess");
    }
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(BM_LogFileOutput);
BENCHMARK(BM_PlainWrite);
BENCHMARK(BM_GatedOut);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::filesystem::remove_all(BenchDir());
    return 0;
}
