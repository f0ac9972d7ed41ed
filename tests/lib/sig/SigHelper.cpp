// A process that sets up panic and signal handling like the daemon does and
// then dies (or survives) in the way named by its first argument.
//
//   sig_helper SCENARIO LOGFILE
//
// Every log record is appended to LOGFILE as "LEVEL|TEXT", except in the
// "storm" scenario, whose records go only to the real log file output:
// there, three threads allocate and log without pause while the main
// thread waits for the test's signals, the way the daemon's threads run
// after start-up. Any allocation made inside a signal handler ends the
// helper with kHeapInHandler.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "lib/config/Verify.h"
#include "lib/log/Log.h"
#include "lib/log/LogFileOutput.h"
#include "lib/log/LogFileSettings.h"
#include "lib/log/LogOutput.h"
#include "lib/sig/Panic.h"
#include "lib/sig/PollLoop.h"
#include "lib/sig/Sig.h"

// A signal handler that allocates can deadlock on a malloc lock its own
// thread holds. The sanitizers bring their own allocator, so the check is
// left to the plain build.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);

namespace {
constexpr int kHeapInHandler = 99;
// Only the storm holds its handler to this; the other scenarios record
// through FileSink, which allocates.
bool gForbidHeapInHandler = false;
void ForbidInHandler() {
    if (gForbidHeapInHandler && Log_InSignalHandler()) {
        constexpr char kText[] = "heap used inside a signal handler\n";
        [[maybe_unused]] ssize_t n = write(STDERR_FILENO, kText, sizeof kText - 1);
        _exit(kHeapInHandler);
    }
}
}  // namespace

void* malloc(size_t size) {
    ForbidInHandler();
    return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) {
    ForbidInHandler();
    return __libc_calloc(count, size);
}
void* realloc(void* block, size_t size) {
    ForbidInHandler();
    return __libc_realloc(block, size);
}
}
#endif

namespace {

constexpr uint32_t kHelperOutputType = 0x51647;

// Stores through an address the optimiser cannot see is bad.
void Fault() {
    static volatile int* volatile badAddress = reinterpret_cast<volatile int*>(16);
    *badAddress = 1;
}

// Appends records to a file; optionally faults on a given text, after
// writing it, to provoke a crash inside the panic path.
class FileSink : public dclog::LogOutput {
  public:
    FileSink(int fd, std::string faultOn)
        : LogOutput(kHelperOutputType, "helper", dclog::kLevelCount), fd_(fd), faultOn_(std::move(faultOn)) {}

    void Write(uint32_t address, std::string_view text) override {
        std::string record = std::to_string(dclog::LevelOf(address)) + "|" + std::string(text);
        [[maybe_unused]] ssize_t n = write(fd_, record.data(), record.size());
        if (!faultOn_.empty() && text.find(faultOn_) != std::string_view::npos) {
            Fault();
        }
    }

  private:
    int fd_;
    std::string faultOn_;
};

// Starts the real log file output on "panic.log" in the working directory.
void StartLogFile() {
    static std::string cwd = std::unique_ptr<char, decltype(&free)>(getcwd(nullptr, 0), free).get();
    static std::string path = cwd + "/panic.log";
    dclog::SettingsLayer dictionary{
        [](const char* fallback, const char* name) -> std::optional<std::string> {
            if (strcmp(name, "log.fileName") == 0) {
                return path;
            }
            return fallback != nullptr ? std::optional<std::string>(fallback) : std::nullopt;
        },
        [](bool fallback, const char*) { return fallback; },
        [](int32_t fallback, const char*) { return fallback; },
    };
    dclog::LogAreas areas{"/nonexistent", cwd};
    if (dclog::StartFileOutputIn(areas, dclog::MonotonicMicros, "DesktopController", dictionary, dictionary,
                                 false) == nullptr) {
        exit(4);
    }
}

// Never returns: the test's signal ends the process.
[[noreturn]] void Storm() {
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    gForbidHeapInHandler = true;
#endif
    StartLogFile();
    Sig_BlockAsynchronous();
    for (int i = 0; i < 3; ++i) {
        std::thread([i] {
            for (unsigned n = 0;; ++n) {
                std::vector<std::string> garbage(8, std::string(64 + n % 512, 'x'));
                LogMessage(dclog::kInfo, "worker %d record %u %s\n", i, n, garbage[n % 8].c_str());
            }
        }).detach();
    }
    Sig_UnblockAsynchronous();
    printf("ready\n");
    fflush(stdout);
    for (;;) {
        pause();
    }
}

void Run(std::string_view scenario) {
    static volatile int answer = 41;
    const std::pair<std::string_view, void (*)()> scenarios[] = {
        {"core", Fault},
        {"panic", [] { Panic("helper panic %d\n", 42); }},
        {"logfile",
         [] {
             StartLogFile();
             Panic("with a log file\n");
         }},
        {"verify", [] { VERIFY(answer == 42); }},
        {"panicloop", [] { Panic("first\n"); }},
        {"storm", Storm},
    };
    for (const auto& [name, body] : scenarios) {
        if (name == scenario) {
            body();
        }
    }
    exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: sig_helper SCENARIO LOGFILE\n");
        return 2;
    }
    std::string_view scenario = argv[1];
    rlimit coreLimit{scenario == "core" ? RLIM_INFINITY : 0, RLIM_INFINITY};
    setrlimit(RLIMIT_CORE, &coreLimit);
    if (scenario != "storm") {
        int logFd = open(argv[2], O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        dclog::RegisterOutput(std::make_unique<FileSink>(logFd, scenario == "panicloop" ? "PANIC:" : ""));
    }
    Panic_Init();
    Poll_InitDefault();
    if (!Sig_Init()) {
        return 3;
    }
    Run(scenario);
}
