// Reference IPC service: plays the agent's service for one client
// connection, for tests, demos and integrators. See --help.
#include <csignal>
#include <cstdio>

#include "tools/ipc-service/ServiceCrypto.h"
#include "tools/ipc-service/ServiceOptions.h"
#include "tools/ipc-service/ServiceSession.h"

int main(int argc, char** argv) {
    // A client that disappears must show up as a failed write, not a signal.
    signal(SIGPIPE, SIG_IGN);
    bool helpShown = false;
    const std::optional<ServiceOptions> options = ParseServiceOptions(argc, argv, helpShown);
    if (!options) {
        return helpShown ? kExitOk : kExitSetup;
    }
    const ossl::PkeyPtr key = options->keyFile.empty() ? GenerateKey(options->keyType, options->keyBits)
                                                       : LoadPrivateKey(options->keyFile);
    if (!key) {
        fprintf(stderr, "ipc-service: cannot %s the key pair\n",
                options->keyFile.empty() ? "generate" : "load");
        return kExitSetup;
    }
    if (options->epochTimes) {
        UseEpochTimes();
    }
    ServiceSession session(*options, key.get());
    return session.Run();
}
