#include "tools/ipc-service/ServiceOptions.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string_view>

namespace {

constexpr const char* kUsage = R"(Usage: ipc-service --dir DIR [options]

Plays the agent's IPC service for one client connection on 127.0.0.1: TLS
server, signed server hash, client-info check, READY, then data frames both
ways. Meant for tests, demos and integrators.

Files:
  --dir DIR               write DIR/ipc.port and DIR/rui.pub (required)
  --port N                listen on port N (default: an ephemeral port)
Keys (one throwaway key pair per run unless --key is given):
  --key-type TYPE         rsa (default), ec or ed25519
  --key-bits N            RSA modulus bits (default 2048) or EC curve size
                          256, 384 or 521 (default 256)
  --key FILE              load the private key from a PEM file
Token check:
  --desktop-magic TEXT    desktop magic; the client's token must then be the
                          first 20 bytes of SHA-256(client id + magic) in hex
  --desktop-magic-file F  read the desktop magic from F (used as stored)
  --client-id N           the client id the client must send
Traffic:
  --send FILE             after READY, send FILE as one data frame
                          (repeatable; sent in order)
  --commands              read commands from standard input (below); end of
                          input closes the connection
  --close-after-frames N  close after N frames received after READY
  --close-after-ms N      close N ms after READY
  --accept-timeout-ms N   exit with status 4 if no client connects in time
                          (default 30000)
  --clients N             serve up to N clients, each in a process of its
                          own, as the agent's service serves every desktop
                          (default 1); stops accepting when none connects
                          within the accept time-out, ends with the last
                          client and exits with the worst client's status;
                          not with --commands
  --print-limit N         print at most N payload bytes per frame (default 4096)
  --epoch-times           print <time> as seconds since the epoch with
                          microseconds, for latency measurements
  --fault MODE            misbehave on purpose, MODE one of:
      wrong-signature     corrupt the signature over the server hash
      foreign-key         sign with a key other than the published one
      wrong-order         send the signature frame before the hash frame
      bad-ready           answer the client info with type 4 instead of READY
      garbage-after-ready send bytes that are not a frame after READY
      negative-length     send a frame whose length has the top bit set
      overlong-length     announce 1 MiB, send 16 bytes, then wait
      close-mid-frame     send half a frame and drop the connection
      slow-reader         stop reading after READY (see --slow-ms, resume)
      zero-length         send a frame with an empty payload first
      stall-before-tls    accept the connection, never start TLS
      stall-after-tls     complete TLS, then send nothing
      stall-in-hash       send half of the server hash frame, then nothing
      stall-in-signature  send the hash and half the signature frame
      stall-in-ready      send half of the READY frame, then nothing
                          (each stall waits until the client hangs up)
  --slow-ms N             slow-reader pause in ms (default 5000; 0 = until
                          the resume command)
  --help                  show this text

Commands (with --commands, one per line):
  send TEXT               send TEXT as one data frame
  sendfile PATH           send the file's content as one data frame
  resume                  start reading again (slow-reader fault)
  close                   close the connection and exit

Standard output, one line per event, flushed at once:
  LISTENING <port>        ready: the port file and the public key exist
  <time> CLIENT_INFO clientId=<id> name=<name> heartbeat=<s> token=<ok|mismatch|unchecked> raw=<hex>
  <time> READY
  <time> RECV type=<t> length=<n> header=<hex> sha256=<hex> payload=<text>
  <time> SENT type=<t> length=<n>
  <time> STALLED          a stall fault stopped sending
  <time> STALL_RECV length=<n>  the client sent data during a stall
  <time> CLOSED <reason>
Payload text escapes backslash and non-printable bytes as \xNN.

Exit status: 0 the client passed the checks and the connection ended;
1 usage or set-up error; 2 the client broke the protocol; 3 token mismatch
(READY is not sent); 4 no client connected in time.
)";

const std::map<std::string_view, Fault> kFaults = {
    {"wrong-signature", Fault::kWrongSignature},
    {"foreign-key", Fault::kForeignKey},
    {"wrong-order", Fault::kWrongOrder},
    {"bad-ready", Fault::kBadReady},
    {"garbage-after-ready", Fault::kGarbageAfterReady},
    {"negative-length", Fault::kNegativeLength},
    {"overlong-length", Fault::kOverlongLength},
    {"close-mid-frame", Fault::kCloseMidFrame},
    {"slow-reader", Fault::kSlowReader},
    {"zero-length", Fault::kZeroLength},
    {"stall-before-tls", Fault::kStallBeforeTls},
    {"stall-after-tls", Fault::kStallAfterTls},
    {"stall-in-hash", Fault::kStallInHash},
    {"stall-in-signature", Fault::kStallInSignature},
    {"stall-in-ready", Fault::kStallInReady},
};

const std::map<std::string_view, KeyType> kKeyTypes = {
    {"rsa", KeyType::kRsa}, {"ec", KeyType::kEc}, {"ed25519", KeyType::kEd25519}};

}  // namespace

bool IsStall(Fault fault) {
    return fault >= Fault::kStallBeforeTls && fault <= Fault::kStallInReady;
}

namespace {

bool ParseNumber(const char* text, long long minimum, long long maximum, long long& value) {
    char* end = nullptr;
    value = strtoll(text, &end, 10);
    return end != text && *end == '\0' && value >= minimum && value <= maximum;
}

bool ReadMagicFile(const std::string& path, ServiceOptions& options) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    options.desktopMagic = text.str();
    return true;
}

// Applies one option with its value; false when the value is not valid.
bool Apply(std::string_view name, const char* value, ServiceOptions& options) {
    long long number = 0;
    if (name == "--dir") {
        options.dir = value;
    } else if (name == "--port" && ParseNumber(value, 0, 65535, number)) {
        options.port = static_cast<uint16_t>(number);
    } else if (name == "--key-type" && kKeyTypes.count(value) != 0) {
        options.keyType = kKeyTypes.at(value);
    } else if (name == "--key-bits" && ParseNumber(value, 256, 16384, number)) {
        options.keyBits = static_cast<int>(number);
    } else if (name == "--key") {
        options.keyFile = value;
    } else if (name == "--desktop-magic") {
        options.desktopMagic = value;
    } else if (name == "--desktop-magic-file") {
        return ReadMagicFile(value, options);
    } else if (name == "--client-id" && ParseNumber(value, INT64_MIN, INT64_MAX, number)) {
        options.clientId = number;
    } else if (name == "--send") {
        options.sendFiles.emplace_back(value);
    } else if (name == "--close-after-frames" && ParseNumber(value, 1, INT32_MAX, number)) {
        options.closeAfterFrames = static_cast<int>(number);
    } else if (name == "--close-after-ms" && ParseNumber(value, 1, INT32_MAX, number)) {
        options.closeAfterMs = static_cast<int>(number);
    } else if (name == "--accept-timeout-ms" && ParseNumber(value, 1, INT32_MAX, number)) {
        options.acceptTimeoutMs = static_cast<int>(number);
    } else if (name == "--clients" && ParseNumber(value, 1, INT32_MAX, number)) {
        options.clients = static_cast<int>(number);
    } else if (name == "--slow-ms" && ParseNumber(value, 0, INT32_MAX, number)) {
        options.slowMs = static_cast<int>(number);
    } else if (name == "--print-limit" && ParseNumber(value, 0, INT32_MAX, number)) {
        options.printLimit = static_cast<size_t>(number);
    } else if (name == "--fault" && kFaults.count(value) != 0) {
        options.fault = kFaults.at(value);
    } else {
        return false;
    }
    return true;
}

}  // namespace

std::optional<ServiceOptions> ParseServiceOptions(int argc, char** argv, bool& helpShown) {
    ServiceOptions options;
    helpShown = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view name = argv[i];
        if (name == "--help") {
            fputs(kUsage, stdout);
            helpShown = true;
            return std::nullopt;
        }
        if (name == "--commands") {
            options.commands = true;
            continue;
        }
        if (name == "--epoch-times") {
            options.epochTimes = true;
            continue;
        }
        if (i + 1 >= argc || !Apply(name, argv[i + 1], options)) {
            fprintf(stderr, "ipc-service: invalid or incomplete option %s (see --help)\n", argv[i]);
            return std::nullopt;
        }
        ++i;
    }
    if (options.clients > 1 && options.commands) {
        fprintf(stderr, "ipc-service: --clients and --commands exclude each other (see --help)\n");
        return std::nullopt;
    }
    if (options.dir.empty()) {
        fprintf(stderr, "ipc-service: --dir is required (see --help)\n");
        return std::nullopt;
    }
    return options;
}
