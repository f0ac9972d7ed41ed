// The product's version and build number. The log header prints them, and
// the daemon's file carries them as one marked text,
// "@(#)DesktopController <version> build <number>", so that dc-doctor (or
// what(1)) can tell which daemon is installed without running it: the
// daemon takes no arguments, so it cannot be asked.
#pragma once

#include <string_view>

namespace product {

// What comes before "<version> build <number>" in the marked text.
inline constexpr std::string_view kVersionMark = "@(#)DesktopController ";

const char* Version();
const char* BuildNumber();
// "<version> build <number>", as the marked text holds it.
std::string_view VersionText();

}  // namespace product
