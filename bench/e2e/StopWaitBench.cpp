// CPU time the caller of ProcessObject::stop spends in a full 2-second stop
// of a child that ignores SIGTERM (SIGTERM, 2 s wait, SIGKILL, reap),
// against a sched_yield() loop spinning for the same wall time, which is
// how a stop used to wait. Both report cpu_ms and wall_ms per stop.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

#include "src/process/ProcessObject.h"

namespace {

constexpr int kReadyWaitMs = 5000;

double ClockMs(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

std::string Helper() {
    return (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "e2e_first_stamp").string();
}

// The helper writes its line once SIGTERM is ignored; the FIFO is held open
// for reading and writing so that open() never blocks on either side.
class ReadyFifo {
  public:
    ReadyFifo() {
        char pattern[] = "/tmp/dc-stopwait-XXXXXX";
        dir_ = mkdtemp(pattern);
        mkfifo(Path().c_str(), 0600);
        fd_ = open(Path().c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
    }
    ~ReadyFifo() {
        close(fd_);
        std::filesystem::remove_all(dir_);
    }
    std::string Path() const { return dir_ + "/ready"; }
    bool WaitForLine() {
        pollfd entry{fd_, POLLIN, 0};
        if (poll(&entry, 1, kReadyWaitMs) != 1) {
            return false;
        }
        char buffer[64];
        return read(fd_, buffer, sizeof buffer) > 0;
    }

  private:
    std::string dir_;
    int fd_ = -1;
};

void Report(benchmark::State& state, double cpuMs, double wallMs) {
    state.counters["cpu_ms"] = benchmark::Counter(cpuMs, benchmark::Counter::kAvgIterations);
    state.counters["wall_ms"] = benchmark::Counter(wallMs, benchmark::Counter::kAvgIterations);
}

void BM_StopChildIgnoringTerm(benchmark::State& state) {
    ReadyFifo ready;
    double cpuMs = 0;
    double wallMs = 0;
    for (auto _ : state) {
        auto process = std::make_shared<ProcessObject>("hold", 1, 0, -1);
        if (!process->start(Helper(), {ready.Path(), "--hold"}, {}, 0) || !ready.WaitForLine()) {
            state.SkipWithError("the child did not get ready");
            break;
        }
        const double cpuStart = ClockMs(CLOCK_THREAD_CPUTIME_ID);
        const double wallStart = ClockMs(CLOCK_MONOTONIC);
        process->stop(true, ProcessObject::kStopTimeoutMs);
        const double cpu = ClockMs(CLOCK_THREAD_CPUTIME_ID) - cpuStart;
        const double wall = ClockMs(CLOCK_MONOTONIC) - wallStart;
        state.SetIterationTime(cpu / 1e3);
        cpuMs += cpu;
        wallMs += wall;
    }
    Report(state, cpuMs, wallMs);
}

void BM_YieldLoopSameDuration(benchmark::State& state) {
    double cpuMs = 0;
    double wallMs = 0;
    for (auto _ : state) {
        const double cpuStart = ClockMs(CLOCK_THREAD_CPUTIME_ID);
        const double wallStart = ClockMs(CLOCK_MONOTONIC);
        while (ClockMs(CLOCK_MONOTONIC) - wallStart < ProcessObject::kStopTimeoutMs) {
            sched_yield();
        }
        const double cpu = ClockMs(CLOCK_THREAD_CPUTIME_ID) - cpuStart;
        state.SetIterationTime(cpu / 1e3);
        cpuMs += cpu;
        wallMs += ClockMs(CLOCK_MONOTONIC) - wallStart;
    }
    Report(state, cpuMs, wallMs);
}

}  // namespace

BENCHMARK(BM_StopChildIgnoringTerm)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_YieldLoopSameDuration)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_MAIN();
