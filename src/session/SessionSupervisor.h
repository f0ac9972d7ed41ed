// Runs the daemon for one graphical session, for as long as the session
// lasts. The daemon ends when the agent's IPC service closes its
// connection; the supervisor starts it again when the service writes a new
// port file (a restart, an upgrade, a late start), and ends it, with every
// process it left, when the session ends: logind ends the session, or the
// display or the session bus goes away. A start-up failure is retried a
// few times, a crash after a pause. Everything is an event on one
// poll() loop with no time-out: while the service is away nothing wakes.
#pragma once

#include <chrono>
#include <deque>
#include <string>

#include "lib/log/UniqueFd.h"
#include "src/session/AgentFiles.h"
#include "src/session/DaemonProcess.h"
#include "src/session/DisplayLink.h"
#include "src/session/LogindSession.h"
#include "src/session/SessionBusLink.h"
#include "src/session/SessionPaths.h"

class SessionSupervisor {
  public:
    // sessionId: the logind session to end with, empty where there is none.
    SessionSupervisor(const SessionPaths& paths, std::string sessionId);

    // Runs until the session ends; the process's exit status.
    int Run();

  private:
    using Clock = std::chrono::steady_clock;

    bool SetUp();
    bool Loop();
    void StartDaemon();
    void OnDaemonEnded(int status);
    void OnAgentFilesChanged();
    void ArmRestartTimer(std::chrono::seconds delay);

    AgentFiles agentFiles_;
    DaemonProcess daemon_;
    std::string sessionId_;
    LogindSession logind_;
    DisplayLink display_;
    SessionBusLink bus_;
    bool busWatched_ = false;
    dclog::UniqueFd signals_;
    dclog::UniqueFd restartTimer_;
    // The agent's files changed while the daemon ran: it connected to a
    // service that is now being replaced, so it starts again once it ends.
    bool changedWhileRunning_ = false;
    int startRetries_ = 0;
    std::deque<Clock::time_point> crashes_;
    std::string endReason_;
};
