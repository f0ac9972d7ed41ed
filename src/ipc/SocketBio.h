// A BIO over a connected stream socket that never raises SIGPIPE: writes go
// through send(MSG_NOSIGNAL), so a service that vanishes mid-write becomes
// a failed write instead of killing the daemon. The BIO does not own the
// descriptor.
#pragma once

#include <openssl/bio.h>

BIO* NewNoSignalSocketBio(int fd);
