// Entry functions of the fuzz targets. Each takes one input as libFuzzer
// hands it over, drives one parser of the daemon with it and aborts when a
// property that callers rely on does not hold. The fuzz targets and the
// regression test call the same functions, so an input that once crashed
// a target is replayed exactly as it was found.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace dcfuzz {

using EntryFn = void (*)(const uint8_t* data, size_t size);

struct Entry {
    std::string_view target;  // the fuzz target's name and corpus folder
    EntryFn run;
};

// The service's side of the connection: handshake frames, the ready block
// and data frames. The first byte picks the service's key type.
void FuzzFrames(const uint8_t* data, size_t size);
// One payload for the message dispatcher, executor replaced by a recorder.
void FuzzXmlRequest(const uint8_t* data, size_t size);
// Dictionary text; the first byte picks an encoding line or a byte-order
// mark. Loaded dictionaries must survive a write-back round trip.
void FuzzDictionary(const uint8_t* data, size_t size);
// A desktop id file, also read as os-release and as the desktop magic.
void FuzzDesktopId(const uint8_t* data, size_t size);
// Log file settings from a configuration dictionary and a preferences text.
void FuzzLogSettings(const uint8_t* data, size_t size);

const std::vector<Entry>& AllEntries();

}  // namespace dcfuzz
