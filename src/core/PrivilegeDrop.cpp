#include "src/core/PrivilegeDrop.h"

#include <cstring>

namespace {

std::string Failure(uid_t from, uid_t to, const std::string& cause) {
    return "DesktopController: failed to drop privileges from user id " + std::to_string(from) + " to " +
           std::to_string(to) + ": " + cause + ", exiting.\n";
}

}  // namespace

std::string PrivilegeDropFailure(uid_t from, uid_t to, const DropOutcome& outcome) {
    if (outcome.setResult != 0) {
        return Failure(from, to, std::string("setresuid: ") + strerror(outcome.setError));
    }
    if (outcome.getResult != 0) {
        return Failure(from, to, std::string("getresuid: ") + strerror(outcome.getError));
    }
    const UserIds& ids = outcome.after;
    if (ids.real != to || ids.effective != to || ids.saved != to) {
        return Failure(from, to,
                       "real, effective and saved user id are " + std::to_string(ids.real) + ", " +
                           std::to_string(ids.effective) + " and " + std::to_string(ids.saved) +
                           " afterwards");
    }
    return "";
}
