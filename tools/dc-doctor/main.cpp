// dc-doctor: run by the desktop user inside a graphical session, it checks
// every precondition of a working DesktopController there, in the
// daemon's own order, and says for each what is wrong and how to fix it.
// It reads the same fixed system files the daemon reads and never sends
// the service anything that identifies the desktop.
//
// Exit status: 0 when no check failed (warnings included), 1 when one
// did, 2 for bad usage.
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "lib/config/Preference.h"
#include "lib/sig/Panic.h"
#include "tools/dc-doctor/Checks.h"
#include "tools/dc-doctor/Report.h"

namespace {

constexpr int kBadUsage = 2;

constexpr const char* kUsage =
    "usage: dc-doctor [--json]\n"
    "Checks the DesktopController preconditions of this desktop session.\n"
    "  --json   print the results as one JSON document\n";

std::vector<doctor::CheckResult> RunChecks() {
    Preference_Init();
    Panic_Init();
    std::vector<doctor::CheckResult> results;
    for (auto* check :
         {doctor::CheckDaemon, doctor::CheckIdentity, doctor::CheckDesktop, doctor::CheckDisplay,
          doctor::CheckService, doctor::CheckSessionBus, doctor::CheckTaskScript, doctor::CheckLog,
          doctor::CheckCrashes, doctor::CheckLeftovers}) {
        results.push_back(check());
    }
    Preference_Exit();
    return results;
}

}  // namespace

int main(int argc, char** argv) {
    bool json = false;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--json") == 0) {
            json = true;
        } else if (strcmp(argv[i], "--help") == 0) {
            std::cout << kUsage;
            return 0;
        } else {
            std::cerr << "dc-doctor: unknown argument " << argv[i] << '\n' << kUsage;
            return kBadUsage;
        }
    }
    const std::vector<doctor::CheckResult> results = RunChecks();
    if (json) {
        doctor::WriteJson(std::cout, results);
    } else {
        doctor::WriteText(std::cout, results);
    }
    return doctor::WorstStatus(results) == doctor::Status::kFailure ? 1 : 0;
}
