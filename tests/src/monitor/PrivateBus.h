// A private dbus-daemon for one test: its own configuration and socket in
// a temporary directory, started with --print-address and stopped by pid.
#pragma once

#include <sys/types.h>

#include <string>

namespace dctest {

class PrivateBus {
  public:
    // policyRules and limits are inserted into the default policy and the
    // configuration's top level. Throws std::runtime_error when the daemon
    // cannot be started or prints no address within 10 s.
    explicit PrivateBus(const std::string& policyRules = "", const std::string& limits = "");
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    const std::string& Address() const { return address_; }
    // Ends the daemon (SIGTERM, reaped within 5 s, else SIGKILL).
    void Stop();

  private:
    std::string dir_;
    std::string address_;
    pid_t pid_ = -1;
};

}  // namespace dctest
