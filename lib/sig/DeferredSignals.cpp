#include "lib/sig/DeferredSignals.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "lib/config/Verify.h"
#include "lib/log/Log.h"
#include "lib/sig/PollLoop.h"
#include "lib/sig/SigTable.h"

namespace {

// The record size is part of the pipe's format: one siginfo per write, so
// that the reader never sees half a record.
constexpr size_t kRecordSize = 128;
static_assert(sizeof(siginfo_t) == kRecordSize);

int gReadFd = -1;
int gWriteFd = -1;

void Requeue(const siginfo_t& info) {
    DeferredSignals_Queue(&info);
}

void Deliver(siginfo_t& info) {
    int signum = info.si_signo;
    SigRecord& record = SigTable_Record(signum);
    if (record.mode == static_cast<int>(SigMode::kFatal)) {
        LogMessage(dclog::kWarning, "Dropping unhandled signal %d.\n", signum);
        return;
    }
    if (record.callbackRunning.exchange(true)) {
        Requeue(info);
        return;
    }
    record.callback(signum, &info, nullptr, record.clientData);
    record.callbackRunning = false;
}

bool IsDeliverable(const siginfo_t& info) {
    int signum = info.si_signo;
    return signum >= 1 && signum <= kSigMaxSignal && SigTable_Record(signum).callback != nullptr;
}

// One record per call: the poll loop calls again while the pipe stays
// readable, and a requeued record cannot spin inside a single call.
void ReadOneRecord(void*) {
    siginfo_t info{};
    ssize_t n = read(gReadFd, &info, kRecordSize);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        return;
    }
    if (n != static_cast<ssize_t>(kRecordSize)) {
        LogMessage(dclog::kError, "Could not read siginfo: %d\n", n < 0 ? errno : static_cast<int>(n));
    }
    VERIFY(n == static_cast<ssize_t>(kRecordSize));
    if (IsDeliverable(info)) {
        Deliver(info);
    }
}

}  // namespace

bool DeferredSignals_Open() {
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) {
        LogMessage(dclog::kError, "Sig_Init: cannot create the signal pipe: %s\n", strerror(errno));
        return false;
    }
    gReadFd = fds[0];
    gWriteFd = fds[1];
    if (!Poll_AddReader(gReadFd, ReadOneRecord, nullptr)) {
        LogMessage(dclog::kError, "Sig_Init: cannot register the signal pipe with the poll loop\n");
        DeferredSignals_Close();
        return false;
    }
    return true;
}

void DeferredSignals_Close() {
    if (gReadFd >= 0) {
        Poll_RemoveReader(gReadFd, ReadOneRecord, nullptr);
        close(gReadFd);
    }
    if (gWriteFd >= 0) {
        close(gWriteFd);
    }
    gReadFd = -1;
    gWriteFd = -1;
}

void DeferredSignals_Queue(const siginfo_t* info) {
    ssize_t n = write(gWriteFd, info, kRecordSize);
    if (n == static_cast<ssize_t>(kRecordSize)) {
        return;
    }
    if (n < 0 && errno == EAGAIN) {
        LogMessage(dclog::kWarning, "Too many signals queued, this shouldn't happen\n");
    } else {
        LogMessage(dclog::kWarning, "Could not queue signal %d (error %d)\n", info->si_signo, errno);
    }
}
