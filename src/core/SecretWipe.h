// Wiping of secret texts (the desktop magic, the IPC token). A secret is
// overwritten in place before it is emptied so that its bytes do not linger
// in freed heap memory, core files or swap.
#pragma once

#include <cstddef>
#include <string>

// Overwrites every byte of text (including spare capacity) and empties it.
void WipeSecret(std::string& text);

// Overwrites size bytes at data in a way the compiler cannot drop.
void WipeBytes(void* data, std::size_t size);

// A secret text that is wiped when it goes out of scope.
struct SecretText {
    SecretText() = default;
    ~SecretText() { WipeSecret(value); }
    SecretText(const SecretText&) = delete;
    SecretText& operator=(const SecretText&) = delete;

    std::string value;
};
