// The digest that goes with the service's key when its signature over the
// server hash is checked. The reference service signs with the same choice,
// so both ends share this one rule.
#pragma once

#include <openssl/evp.h>

// SHA-256/384/512 by the key's size for RSA and EC keys; nullptr for every
// other key type (the client refuses those, the service signs Ed25519 keys
// without a separate digest).
const EVP_MD* IpcClient_SelectDigest(const EVP_PKEY* key);
