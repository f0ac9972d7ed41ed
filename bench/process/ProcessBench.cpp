// Costs of starting and stopping children:
//  - time from DesktopCProcessMgr::StartProcess to the child's first
//    instruction (the helper writes a CLOCK_MONOTONIC stamp at once),
//    against a bare fork + execvp of the same helper;
//  - CPU time the caller spends in stop() on a child that exits 50 ms after
//    SIGTERM (the wait blocks; it must not spin).
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <memory>

#include "src/process/DesktopCProcessMgr.h"
#include "src/process/ProcessObject.h"
#include "tests/src/process/ProcessTestSupport.h"

namespace {

using proctest::EventFifo;
using proctest::TempDir;

std::string Helper() {
    return (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "proc_helper").string();
}

long long MonotonicNs(clockid_t clock = CLOCK_MONOTONIC) {
    timespec now;
    clock_gettime(clock, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

// Seconds from startNs to the stamp the child sends, or a skipped run.
bool RecordStartLatency(benchmark::State& state, EventFifo& events, long long startNs) {
    std::optional<std::string> stamp = events.NextLine();
    if (!stamp) {
        state.SkipWithError("the child sent no stamp");
        return false;
    }
    state.SetIterationTime(static_cast<double>(std::stoll(*stamp) - startNs) / 1e9);
    return true;
}

void BM_ManagerStartToFirstInstruction(benchmark::State& state) {
    TempDir dir;
    EventFifo events(dir.File("events"));
    auto manager = std::make_shared<DesktopCProcessMgr>();
    const std::vector<std::string> params = {"stamp", events.Path()};
    for (auto _ : state) {
        const long long start = MonotonicNs();
        manager->StartProcess("stamp", Helper(), params, "", 1);
        if (!RecordStartLatency(state, events, start)) {
            break;
        }
    }
}
BENCHMARK(BM_ManagerStartToFirstInstruction)->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_BareForkExecToFirstInstruction(benchmark::State& state) {
    TempDir dir;
    EventFifo events(dir.File("events"));
    const std::string helper = Helper();
    const std::string fifo = events.Path();
    for (auto _ : state) {
        const long long start = MonotonicNs();
        pid_t child = fork();
        if (child == 0) {
            const char* argv[] = {"stamp", "stamp", fifo.c_str(), nullptr};
            execvp(helper.c_str(), const_cast<char* const*>(argv));
            _exit(255);
        }
        bool stamped = RecordStartLatency(state, events, start);
        waitpid(child, nullptr, 0);
        if (!stamped) {
            break;
        }
    }
}
BENCHMARK(BM_BareForkExecToFirstInstruction)->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_StopCpuTimeForSlowExit(benchmark::State& state) {
    TempDir dir;
    EventFifo events(dir.File("events"));
    long long wallNs = 0;
    for (auto _ : state) {
        auto process = std::make_shared<ProcessObject>("slow", 1, 0, -1);
        process->start(Helper(), {"term-after", "50", events.Path()}, {}, 0);
        if (events.NextLine() != "ready") {
            state.SkipWithError("the child did not get ready");
            break;
        }
        const long long cpuStart = MonotonicNs(CLOCK_THREAD_CPUTIME_ID);
        const long long wallStart = MonotonicNs();
        process->stop(true, ProcessObject::kStopTimeoutMs);
        wallNs += MonotonicNs() - wallStart;
        state.SetIterationTime(static_cast<double>(MonotonicNs(CLOCK_THREAD_CPUTIME_ID) - cpuStart) / 1e9);
    }
    state.counters["wall_ms"] =
        benchmark::Counter(static_cast<double>(wallNs) / 1e6, benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_StopCpuTimeForSlowExit)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(20);

}  // namespace

BENCHMARK_MAIN();
