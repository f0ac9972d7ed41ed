#include "lib/sig/PollLoop.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <optional>
#include <vector>

#include "lib/log/Log.h"

namespace {

struct Registration {
    int fd;
    PollReader reader;
    void* clientData;
    bool operator==(const Registration&) const = default;
};

std::mutex gLoopLock;
std::vector<Registration> gReaders;
std::optional<PollImpl> gImpl;

bool DefaultInit() {
    return true;
}

void DefaultExit() {
    std::lock_guard lock(gLoopLock);
    gReaders.clear();
}

bool DefaultAddReader(int fd, PollReader reader, void* clientData) {
    std::lock_guard lock(gLoopLock);
    Registration entry{fd, reader, clientData};
    if (fd < 0 || reader == nullptr || std::find(gReaders.begin(), gReaders.end(), entry) != gReaders.end()) {
        return false;
    }
    gReaders.push_back(entry);
    return true;
}

bool DefaultRemoveReader(int fd, PollReader reader, void* clientData) {
    std::lock_guard lock(gLoopLock);
    auto it = std::find(gReaders.begin(), gReaders.end(), Registration{fd, reader, clientData});
    if (it == gReaders.end()) {
        return false;
    }
    gReaders.erase(it);
    return true;
}

int DefaultDispatchOnce(int timeoutMs) {
    std::vector<Registration> snapshot;
    {
        std::lock_guard lock(gLoopLock);
        snapshot = gReaders;
    }
    std::vector<pollfd> fds;
    for (const auto& entry : snapshot) {
        fds.push_back(pollfd{entry.fd, POLLIN, 0});
    }
    int ready = poll(fds.data(), fds.size(), timeoutMs);
    if (ready < 0 && errno != EINTR) {
        LogMessage(dclog::kWarning, "Poll: poll failed: %m\n");
    }
    int ran = 0;
    for (size_t i = 0; ready > 0 && i < fds.size(); ++i) {
        if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            snapshot[i].reader(snapshot[i].clientData);
            ++ran;
        }
    }
    return ran;
}

constexpr PollImpl kDefaultImpl{DefaultInit, DefaultExit, DefaultAddReader, DefaultRemoveReader,
                                DefaultDispatchOnce};

}  // namespace

const PollImpl& Poll_DefaultImpl() {
    return kDefaultImpl;
}

bool Poll_InitWithImpl(const PollImpl& impl) {
    if (gImpl.has_value() || !impl.init()) {
        return false;
    }
    gImpl = impl;
    return true;
}

bool Poll_InitDefault() {
    return Poll_InitWithImpl(kDefaultImpl);
}

void Poll_Exit() {
    if (gImpl.has_value()) {
        gImpl->exit();
        gImpl.reset();
    }
}

bool Poll_AddReader(int fd, PollReader reader, void* clientData) {
    return gImpl.has_value() && gImpl->addReader(fd, reader, clientData);
}

bool Poll_RemoveReader(int fd, PollReader reader, void* clientData) {
    return gImpl.has_value() && gImpl->removeReader(fd, reader, clientData);
}

int Poll_DispatchOnce(int timeoutMs) {
    return gImpl.has_value() ? gImpl->dispatchOnce(timeoutMs) : -1;
}
