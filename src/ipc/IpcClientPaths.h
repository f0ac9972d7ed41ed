#pragma once

#include <string>

// Where the client finds the service's port, its own magic and the
// service's public key. Production always uses IpcClient_SystemPaths();
// tests hand in files from a temporary directory.
struct IpcClientPaths {
    std::string portFile;
    std::string magicFile;
    std::string publicKeyFile;
};

IpcClientPaths IpcClient_SystemPaths();
