// What a start-process request carries from the XML message to the
// executor. Filled once by the dispatcher; plain data afterwards, except
// that the stdin text, a secret, is wiped when the request ends.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "src/core/SecretWipe.h"

struct ProcessStartRequest {
    ProcessStartRequest() = default;
    ~ProcessStartRequest() { WipeSecret(stdinStr); }
    ProcessStartRequest(const ProcessStartRequest&) = default;
    ProcessStartRequest& operator=(const ProcessStartRequest&) = default;
    ProcessStartRequest(ProcessStartRequest&&) = default;
    ProcessStartRequest& operator=(ProcessStartRequest&&) = default;

    std::string name;
    std::string path;
    std::vector<std::string> params;
    // Written once to the child's standard input; ignored for applications.
    std::string stdinStr;
    // The requester's connection; -1 when the request names none.
    int32_t connectionId = -1;
    bool isApp = false;
};
