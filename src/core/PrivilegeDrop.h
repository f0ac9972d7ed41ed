// Whether giving up the rights of a set-user-id start worked. The decision
// is kept apart from the system calls, so that every way the kernel can
// refuse or half-do the drop can be shown without such a kernel.
#pragma once

#include <sys/types.h>

#include <string>

struct UserIds {
    uid_t real = 0;
    uid_t effective = 0;
    uid_t saved = 0;
};

// What setresuid and the getresuid after it reported: each call's result
// and errno, and the ids read back.
struct DropOutcome {
    long setResult = 0;
    int setError = 0;
    int getResult = 0;
    int getError = 0;
    UserIds after{};
};

// Empty when the drop from user id "from" to "to" held: setresuid
// succeeded and real, effective and saved user id all read back as "to".
// Otherwise the one line for standard error, naming both ids and the
// failed call with its error, or the ids found instead.
std::string PrivilegeDropFailure(uid_t from, uid_t to, const DropOutcome& outcome);
