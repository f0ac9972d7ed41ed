// Reads the fields of inbound requests out of a parsed message tree into
// plain values, so nothing past the dispatcher ever sees a property tree.
//
// Missing required fields and failed conversions of required fields throw
// boost::property_tree::ptree_error; the dispatcher catches and logs them.
#pragma once

#include <boost/property_tree/ptree_fwd.hpp>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "src/dispatch/ProcessStartRequest.h"

// Joins element names into a property-tree path ("A.B.C").
std::string XmlPath(std::initializer_list<std::string_view> parts);

// Accepts exactly "1", "0", "true" and "false", with surrounding white
// space; anything else is no bool at all.
std::optional<bool> ParseBoolText(std::string_view text);

// The text at path, which must exist and must not hold a zero byte: XML
// cannot carry one, yet a reference such as "&#0;" yields it, and a name or
// path cut short at it would mean one thing to the checks and another to
// exec. Throws ptree_bad_path or ptree_bad_data.
std::string ReadRequestText(const boost::property_tree::ptree& tree, const std::string& path);

// request is the Request element. Reads StartProcess with its defaults:
// no StdinStr gives "", no ProcessParams gives no parameters, a missing or
// non-integer ConnectionId gives -1, a missing or unknown isApp gives false.
ProcessStartRequest ReadStartRequest(const boost::property_tree::ptree& request);
