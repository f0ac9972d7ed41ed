// How the doctor prints its findings: one line per check for a person, or
// one JSON document for a program.
#pragma once

#include <ostream>
#include <vector>

#include "tools/dc-doctor/CheckResult.h"

namespace doctor {

// "<status> <name>: <detail>", then " -- fix: <fix>" when there is one.
void WriteText(std::ostream& out, const std::vector<CheckResult>& results);
// {"status": worst status, "checks": [{"name", "status", "detail", "fix"}]}
void WriteJson(std::ostream& out, const std::vector<CheckResult>& results);

Status WorstStatus(const std::vector<CheckResult>& results);

}  // namespace doctor
