// The desktop sandbox and its helpers, seen from the tests' own namespace.
#pragma once

#include <string>

#include "tools/desktop-sandbox/ChildProcess.h"
#include "tools/desktop-sandbox/DesktopSandbox.h"
#include "tools/desktop-sandbox/LineReader.h"
#include "tools/desktop-sandbox/PrivateSystemDirs.h"
#include "tools/desktop-sandbox/ServiceRequests.h"
#include "tools/desktop-sandbox/SessionBus.h"
#include "tools/desktop-sandbox/TempDir.h"

namespace dctest {

using namespace sandbox;

// Shell and markup characters in a secret, so that no escaping step can go
// unnoticed.
inline const std::string kMagic = "Qm7#vT2pL9xW4zR8kN1cY6bH3jF5sD0gA!e%u*oZ";

}  // namespace dctest
