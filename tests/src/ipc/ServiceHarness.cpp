#include "tests/src/ipc/ServiceHarness.h"

#include <fcntl.h>
#include <openssl/sha.h>
#include <poll.h>
#include <semaphore.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string_view>
#include <thread>

extern char** environ;

namespace ipctest {

ServiceProcess::ServiceProcess(const std::vector<std::string>& arguments) {
    int in[2];
    int out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    const std::string program = std::string(getenv("DC_BUILD_DIR")) + "/bin/ipc-service";
    std::vector<std::string> argv = {program, "--dir", dir_.Path()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<char*> rawArgv;
    for (std::string& argument : argv) {
        rawArgv.push_back(argument.data());
    }
    rawArgv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    const int spawned = posix_spawn(&pid_, program.c_str(), &actions, nullptr, rawArgv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    stdinFd_ = in[1];
    stdoutFd_ = out[0];
    if (spawned != 0) {
        throw std::runtime_error("cannot start " + program);
    }
    pidFd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    reader_ = std::thread([this] { ReadOutput(); });
    if (!WaitForLine("LISTENING")) {
        throw std::runtime_error("ipc-service did not start listening");
    }
}

ServiceProcess::~ServiceProcess() {
    if (!WaitForExit(0ms)) {
        kill(pid_, SIGKILL);
        WaitForExit(10s);
    }
    close(stdinFd_);
    reader_.join();
    close(stdoutFd_);
    close(pidFd_);
}

IpcClientPaths ServiceProcess::ClientPaths() const {
    return {dir_.File("ipc.port"), dir_.File("ipc.magic"), dir_.File("rui.pub")};
}

void ServiceProcess::Command(const std::string& line) {
    const std::string text = line + "\n";
    if (write(stdinFd_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        throw std::runtime_error("cannot write to ipc-service");
    }
}

void ServiceProcess::ReadOutput() {
    std::string partial;
    char buffer[65536];
    ssize_t got;
    while ((got = read(stdoutFd_, buffer, sizeof buffer)) > 0) {
        partial.append(buffer, static_cast<size_t>(got));
        size_t end;
        std::lock_guard guard(mutex_);
        while ((end = partial.find('\n')) != std::string::npos) {
            lines_.push_back(partial.substr(0, end));
            partial.erase(0, end + 1);
        }
        changed_.notify_all();
    }
}

std::optional<std::string> ServiceProcess::WaitForLine(const std::string& text,
                                                       std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    auto has = [&] {
        return std::find_if(lines_.begin(), lines_.end(),
                            [&](const std::string& line) { return line.find(text) != std::string::npos; });
    };
    return changed_.wait_for(lock, timeout, [&] { return has() != lines_.end(); }) ? std::optional(*has())
                                                                                   : std::nullopt;
}

bool ServiceProcess::WaitForLines(const std::string& text, size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        return static_cast<size_t>(std::count_if(lines_.begin(), lines_.end(), [&](const std::string& line) {
                   return line.find(text) != std::string::npos;
               })) >= count;
    });
}

std::optional<int> ServiceProcess::WaitForExit(std::chrono::milliseconds timeout) {
    if (status_) {
        return status_;
    }
    pollfd entry{pidFd_, POLLIN, 0};
    if (poll(&entry, 1, static_cast<int>(timeout.count())) != 1) {
        return std::nullopt;
    }
    int status = 0;
    waitpid(pid_, &status, 0);
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return status_;
}

void Inbox::OnConnected(void* userData) {
    auto* inbox = static_cast<Inbox*>(userData);
    std::lock_guard guard(inbox->mutex);
    ++inbox->connectedCalls;
    inbox->changed.notify_all();
}

void Inbox::OnMessage(char* payload, uint32_t length, void* userData) {
    auto* inbox = static_cast<Inbox*>(userData);
    std::lock_guard guard(inbox->mutex);
    inbox->payloads.emplace_back(payload, length);
    inbox->changed.notify_all();
}

bool Inbox::WaitForCount(size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return payloads.size() >= count; });
}

std::string TokenFor(int64_t clientId, const std::string& magic) {
    const std::string input = std::to_string(clientId) + magic;
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(input.data()), input.size(), digest);
    char hex[41];
    for (int i = 0; i < 20; ++i) {
        snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    }
    return hex;
}

std::vector<std::string> LeftoverSemaphores() {
    const std::string suffix = "_" + std::to_string(getpid()) + "_";
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator("/dev/shm")) {
        const std::string name = entry.path().filename();
        if ((name.starts_with("sem.entrySem") || name.starts_with("sem.slotSem")) &&
            name.find(suffix) != std::string::npos) {
            found.push_back(name);
        }
    }
    return found;
}

namespace {

// A process that ended without unlinking its queues (a daemon that a test
// crashed, say) leaves names that carry its pid. When the kernel hands that
// pid to this test process later, which a busy machine makes likely, those
// names would pass for this process's own leftovers, and a queue made here
// would adopt their old counts. No live process can own them: remove them
// before any test runs.
const bool staleSemaphoresRemoved = [] {
    for (const std::string& file : LeftoverSemaphores()) {
        sem_unlink(("/" + file.substr(std::string_view("sem.").size())).c_str());
    }
    return true;
}();

}  // namespace

Peer::Peer(const std::vector<std::string>& arguments)
    : service([&] {
          std::vector<std::string> all = {
              "--desktop-magic", kMagic,          "--client-id", std::to_string(kClientId),
              "--commands",      "--print-limit", "16"};
          all.insert(all.end(), arguments.begin(), arguments.end());
          return all;
      }()) {}

bool Peer::Connect(int32_t heartbeat, const std::string& token) {
    return IpcClient_ConnectWithPaths(service.ClientPaths(), kClientId, Inbox::OnConnected, Inbox::OnMessage,
                                      token.c_str(), "DesktopController", heartbeat, &inbox);
}

void ExpectCleanEnd(const dclog::LogCapture& capture) {
    constexpr auto bound = std::chrono::seconds(10);
    const auto start = std::chrono::steady_clock::now();
    IpcClient_WaitForTerminate();
    EXPECT_LT(std::chrono::steady_clock::now() - start, bound);
    EXPECT_TRUE(capture.Contains("Service terminated!\n"));
    EXPECT_TRUE(LeftoverSemaphores().empty());
}

}  // namespace ipctest
