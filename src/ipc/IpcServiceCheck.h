// A look at the agent's IPC service that proves no identity: the port file,
// the TCP connect, TLS, the service's signature against the installed
// public key and the owner of the service's socket, as a connect does them,
// and then the connection is closed. The client-info record is never sent,
// so no token or magic leaves the process; the service sees a client that
// went away before saying who it was. Each failed step leaves the same log
// record a connect would.
#pragma once

#include <sys/types.h>

#include <optional>

// Who answers on the service's port. The signature alone proves nothing
// about that (a signed pair can be recorded from the real service and
// replayed), so the service must run as root or as the owner of the port
// file.
struct IpcServiceOwner {
    int port = 0;
    // The owner of the service's end of the connection; none when no live
    // socket could be found for it.
    std::optional<uid_t> uid{};
    uid_t portFileOwner = 0;

    bool Accepted() const { return uid && (*uid == 0 || *uid == portFileOwner); }
};

// True when the service answered, its signature verified and its owner is
// accepted. owner, when given, receives what the owner step found, and is
// left empty when the check ended before that step.
bool IpcClient_CheckService(std::optional<IpcServiceOwner>* owner = nullptr);
