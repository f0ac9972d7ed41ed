// bus-stand-ins.py, the services on the sandbox's buses that no real
// program plays there: logind and GNOME's display manager on the system
// bus, GNOME's session manager and screen saver and the user's service
// manager on the session bus.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tools/desktop-sandbox/ChildProcess.h"

namespace sandbox {

// Starts the script with args (its role first) and returns once it owns
// its names; throws std::runtime_error with its error output when it does
// not say so within ten seconds.
std::unique_ptr<ChildProcess> StartStandIns(const std::vector<std::string>& args, const std::string& errFile);

// Empty when the stand-ins can run here, else what is missing.
std::string StandInsMissing();

}  // namespace sandbox
