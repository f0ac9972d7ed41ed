// Throughput and latency of one 1 KiB message through the IPC client, both
// directions, against the reference service on loopback; a bare OpenSSL
// echo loop on the same loopback gives the baseline in the same run.
//
// Latencies include one pipe hop to or from the service process (its
// command input or its output line), which the bare loop does not have.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "bench/ipc/BareTlsLoop.h"
#include "src/ipc/IpcClientInternal.h"
#include "tests/src/ipc/ServiceHarness.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kMessageSize = 1024;
constexpr int64_t kClientId = 7;

void EnsureBuildDir() {
    if (getenv("DC_BUILD_DIR") == nullptr) {
        const auto exe = std::filesystem::read_symlink("/proc/self/exe");
        setenv("DC_BUILD_DIR", exe.parent_path().parent_path().c_str(), 1);
    }
}

void ReportLatencies(benchmark::State& state, std::vector<double>& micros) {
    if (micros.empty()) {
        return;
    }
    std::sort(micros.begin(), micros.end());
    state.counters["median_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
    state.counters["frames_per_s"] =
        benchmark::Counter(static_cast<double>(micros.size()), benchmark::Counter::kIsRate);
}

double MicrosSince(Clock::time_point start) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

void FreeFrame(char* frame, uint32_t, void*) {
    free(frame);
}

struct ClientSession {
    ipctest::ServiceProcess service{{"--commands", "--print-limit", "0"}};
    ipctest::Inbox inbox;
    ClientSession() {
        if (!IpcClient_ConnectWithPaths(service.ClientPaths(), kClientId, nullptr, ipctest::Inbox::OnMessage,
                                        ipctest::TokenFor(kClientId, ipctest::kMagic).c_str(), "ipc_bench", 0,
                                        &inbox)) {
            throw std::runtime_error("connect failed");
        }
    }
    ~ClientSession() {
        service.Command("close");
        IpcClient_WaitForTerminate();
    }
};

void BM_ServiceToCallback(benchmark::State& state) {
    EnsureBuildDir();
    ClientSession session;
    const std::string command = "send " + std::string(kMessageSize, 'm');
    std::vector<double> micros;
    size_t expected = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        session.service.Command(command);
        if (!session.inbox.WaitForCount(++expected)) {
            state.SkipWithError("message did not arrive");
            break;
        }
        micros.push_back(MicrosSince(start));
    }
    ReportLatencies(state, micros);
}

void BM_ClientToService(benchmark::State& state) {
    EnsureBuildDir();
    ClientSession session;
    std::string message(kMessageSize, 'c');
    std::vector<double> micros;
    size_t sent = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        IpcClient_SendData(message.data(), kMessageSize, nullptr, FreeFrame, 0);
        ++sent;
        // Each RECV line counts one frame; wait for the one just sent.
        if (!session.service.WaitForLines("RECV type=4", sent)) {
            state.SkipWithError("frame did not arrive");
            break;
        }
        micros.push_back(MicrosSince(start));
    }
    ReportLatencies(state, micros);
}

void BM_BareTlsRoundTrip(benchmark::State& state) {
    BareTlsLoop loop;
    std::string message(kMessageSize, 'b');
    std::vector<double> micros;
    for (auto _ : state) {
        const auto start = Clock::now();
        if (!loop.RoundTrip(message.data(), message.size())) {
            state.SkipWithError("bare TLS loop failed");
            break;
        }
        micros.push_back(MicrosSince(start));
    }
    ReportLatencies(state, micros);
}

}  // namespace

BENCHMARK(BM_ServiceToCallback)->Iterations(2000)->UseRealTime();
BENCHMARK(BM_ClientToService)->Iterations(500)->UseRealTime();
BENCHMARK(BM_BareTlsRoundTrip)->Iterations(5000)->UseRealTime();
BENCHMARK_MAIN();
