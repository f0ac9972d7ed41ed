// Wiping of secret texts (the desktop magic, the IPC token). A secret is
// overwritten in place before it is emptied so that its bytes do not linger
// in freed heap memory, core files or swap.
#pragma once

#include <string>

// Overwrites every byte of text (including spare capacity) and empties it.
void WipeSecret(std::string& text);
