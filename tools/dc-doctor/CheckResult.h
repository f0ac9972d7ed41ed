// The outcome of one doctor check: its name, how it went, what was found
// and, when something is wrong, what to do about it.
#pragma once

#include <string>

namespace doctor {

enum class Status { kOk, kWarning, kFailure };

struct CheckResult {
    std::string name;
    Status status = Status::kOk;
    std::string detail;
    std::string fix{};
};

inline CheckResult Ok(std::string name, std::string detail) {
    return {std::move(name), Status::kOk, std::move(detail)};
}
inline CheckResult Warning(std::string name, std::string detail, std::string fix) {
    return {std::move(name), Status::kWarning, std::move(detail), std::move(fix)};
}
inline CheckResult Failure(std::string name, std::string detail, std::string fix) {
    return {std::move(name), Status::kFailure, std::move(detail), std::move(fix)};
}

const char* StatusName(Status status);

}  // namespace doctor
