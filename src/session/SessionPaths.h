// Where the session supervisor looks. Production uses SystemSessionPaths();
// tests hand in temporary directories and a stand-in daemon.
#pragma once

#include <string>

struct SessionPaths {
    // The daemon, started afresh whenever the agent's service is up.
    std::string daemon;
    // The agent's directory holding ipc.port and the desktop magic.
    std::string agentDir;
};

SessionPaths SystemSessionPaths();
