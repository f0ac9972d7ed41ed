#include "tools/desktop-sandbox/SystemBus.h"

#include <vector>

#include "tools/desktop-sandbox/StandIns.h"

namespace sandbox {

SystemBus::SystemBus(const LoginSession& session)
    : bus_("system", BusPolicy::kOpen, std::nullopt), sessionId_(session.id) {
    std::vector<std::string> args = {"system",     bus_.Address(),  session.id,  std::to_string(session.uid),
                                     session.user, session.display, session.type};
    if (session.ignoresLock) {
        args.push_back("--ignore-lock");
    }
    if (session.ignoresUnlock) {
        args.push_back("--ignore-unlock");
    }
    if (!session.otherSession.empty()) {
        args.insert(args.end(), {"--other-session", session.otherSession, session.otherDisplay});
    }
    standIns_ = StartStandIns(args, configDir_.File("stand-ins.err"));
}

SystemBus::~SystemBus() {
    standIns_->Stop(SIGTERM);
}

}  // namespace sandbox
