#include "fuzz/entries/FuzzEntries.h"

namespace dcfuzz {

const std::vector<Entry>& AllEntries() {
    static const std::vector<Entry> entries{
        {"fuzz_frames", FuzzFrames},
        {"fuzz_xml_request", FuzzXmlRequest},
        {"fuzz_dictionary", FuzzDictionary},
        {"fuzz_desktop_id", FuzzDesktopId},
        {"fuzz_log_settings", FuzzLogSettings},
    };
    return entries;
}

}  // namespace dcfuzz
