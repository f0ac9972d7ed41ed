// A look at the agent's IPC service that proves no identity: the port file,
// the TCP connect, TLS and the service's signature against the installed
// public key, as a connect does them, and then the connection is closed.
// The client-info record is never sent, so no token or magic leaves the
// process; the service sees a client that went away before saying who it
// was. Each failed step leaves the same log record a connect would.
#pragma once

// True when the service answered and its signature verified.
bool IpcClient_CheckService();
