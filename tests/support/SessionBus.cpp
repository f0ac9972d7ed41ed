#include "tests/support/SessionBus.h"

#include <dbus/dbus.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>

#include "tests/support/ChildProcess.h"
#include "tests/support/LineReader.h"

namespace fs = std::filesystem;

namespace dctest {
namespace {

constexpr const char* kDbusDaemonPath = "/usr/bin/dbus-daemon";
constexpr auto kReadyTimeout = std::chrono::seconds(10);

std::string BusConfig(BusPolicy policy) {
    std::string config =
        "<busconfig>\n"
        "  <type>session</type>\n"
        "  <listen>unix:tmpdir=/tmp</listen>\n"
        "  <auth>EXTERNAL</auth>\n"
        "  <policy context=\"default\">\n"
        "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
        "    <allow eavesdrop=\"true\"/>\n"
        "    <allow own=\"*\"/>\n";
    if (policy == BusPolicy::kRefuseBecomeMonitor) {
        config +=
            "    <deny send_destination=\"org.freedesktop.DBus\""
            " send_interface=\"org.freedesktop.DBus.Monitoring\"/>\n";
    }
    return config + "  </policy>\n</busconfig>\n";
}

struct MessageUnref {
    void operator()(DBusMessage* message) const { dbus_message_unref(message); }
};
using MessagePtr = std::unique_ptr<DBusMessage, MessageUnref>;

// Owns a DBusError and turns a set one into an exception.
class BusError {
  public:
    BusError() { dbus_error_init(&error_); }
    ~BusError() { dbus_error_free(&error_); }
    DBusError* get() { return &error_; }
    void ThrowIfSet(const std::string& what) {
        if (dbus_error_is_set(&error_)) {
            throw std::runtime_error(what + ": " + error_.message);
        }
    }

  private:
    DBusError error_;
};

MessagePtr NewMethodCall(const char* destination, const std::string& path, const std::string& interface,
                         const std::string& member) {
    MessagePtr message(
        dbus_message_new_method_call(destination, path.c_str(), interface.c_str(), member.c_str()));
    if (!message) {
        throw std::runtime_error("cannot create method call " + member);
    }
    return message;
}

}  // namespace

bool SessionBus::Available() {
    return access(kDbusDaemonPath, X_OK) == 0;
}

SessionBus::SessionBus(BusPolicy policy) {
    std::string pattern = (fs::temp_directory_path() / "dc-bus-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed for " + pattern);
    }
    configDir_ = pattern;
    std::string configPath = configDir_ + "/bus.conf";
    std::ofstream(configPath) << BusConfig(policy);

    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe2 failed");
    }
    std::string printAddress = "--print-address=" + std::to_string(ready[1]);
    std::string configArg = "--config-file=" + configPath;
    pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) {
            _exit(kChildSetupFailed);
        }
        fcntl(ready[1], F_SETFD, 0);
        int devNull = open("/dev/null", O_RDWR);
        dup2(devNull, STDIN_FILENO);
        dup2(devNull, STDOUT_FILENO);
        dup2(devNull, STDERR_FILENO);
        execl(kDbusDaemonPath, "dbus-daemon", "--nofork", "--nopidfile", configArg.c_str(),
              printAddress.c_str(), static_cast<char*>(nullptr));
        _exit(kChildExecFailed);
    }
    close(ready[1]);
    if (pid_ < 0) {
        close(ready[0]);
        throw std::runtime_error("fork failed");
    }
    LineReader reader(ready[0]);
    std::optional<std::string> address = reader.ReadLine(std::chrono::steady_clock::now() + kReadyTimeout);
    if (!address || address->empty()) {
        Stop();
        throw std::runtime_error("dbus-daemon did not report an address");
    }
    address_ = *address;
}

SessionBus::~SessionBus() {
    Stop();
}

void SessionBus::Stop() {
    if (pid_ > 0) {
        int status = 0;
        kill(pid_, SIGTERM);
        if (!WaitForChildExit(pid_, std::chrono::seconds(5), &status)) {
            kill(pid_, SIGKILL);
            WaitForChildExit(pid_, std::chrono::seconds(5), &status);
        }
        pid_ = -1;
    }
    if (!configDir_.empty()) {
        std::error_code ignored;
        fs::remove_all(configDir_, ignored);
    }
}

BusClient::BusClient(const std::string& address) {
    BusError error;
    connection_ = dbus_connection_open_private(address.c_str(), error.get());
    error.ThrowIfSet("cannot connect to " + address);
    if (!dbus_bus_register(connection_, error.get())) {
        dbus_connection_close(connection_);
        dbus_connection_unref(connection_);
        error.ThrowIfSet("cannot register on " + address);
        throw std::runtime_error("cannot register on " + address);
    }
}

BusClient::~BusClient() {
    dbus_connection_flush(connection_);
    dbus_connection_close(connection_);
    dbus_connection_unref(connection_);
}

void BusClient::RequestName(const std::string& name) {
    BusError error;
    int result = dbus_bus_request_name(connection_, name.c_str(), DBUS_NAME_FLAG_DO_NOT_QUEUE, error.get());
    error.ThrowIfSet("cannot own " + name);
    if (result != DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER) {
        throw std::runtime_error("not the primary owner of " + name);
    }
}

void BusClient::EmitSignal(const std::string& path, const std::string& interface, const std::string& member,
                           std::optional<bool> arg) {
    MessagePtr message(dbus_message_new_signal(path.c_str(), interface.c_str(), member.c_str()));
    if (!message) {
        throw std::runtime_error("cannot create signal " + member);
    }
    dbus_bool_t value = arg.value_or(false) ? TRUE : FALSE;
    if (arg && !dbus_message_append_args(message.get(), DBUS_TYPE_BOOLEAN, &value, DBUS_TYPE_INVALID)) {
        throw std::runtime_error("cannot append the argument of " + member);
    }
    Send(message.get());
}

void BusClient::Call(const std::string& destination, const std::string& path, const std::string& interface,
                     const std::string& member) {
    MessagePtr message = NewMethodCall(destination.c_str(), path, interface, member);
    dbus_message_set_no_reply(message.get(), TRUE);
    Send(message.get());
}

void BusClient::Sync() {
    MessagePtr message = NewMethodCall(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS, "GetId");
    BusError error;
    MessagePtr reply(
        dbus_connection_send_with_reply_and_block(connection_, message.get(), 10000, error.get()));
    error.ThrowIfSet("bus round trip failed");
}

void BusClient::Send(DBusMessage* message) {
    if (!dbus_connection_send(connection_, message, nullptr)) {
        throw std::runtime_error("cannot queue a message");
    }
    dbus_connection_flush(connection_);
}

}  // namespace dctest
