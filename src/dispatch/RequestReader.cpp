#include "src/dispatch/RequestReader.h"

#include <boost/property_tree/ptree.hpp>

#include "src/dispatch/MessageNames.h"

namespace pt = boost::property_tree;

std::string XmlPath(std::initializer_list<std::string_view> parts) {
    std::string path;
    for (std::string_view part : parts) {
        if (!path.empty()) {
            path += '.';
        }
        path += part;
    }
    return path;
}

std::optional<bool> ParseBoolText(std::string_view text) {
    constexpr std::string_view kBlanks = " \t\n\v\f\r";
    const auto first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) {
        return std::nullopt;
    }
    text = text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
    if (text == "1" || text == "true") {
        return true;
    }
    if (text == "0" || text == "false") {
        return false;
    }
    return std::nullopt;
}

// Straight from the node: get<std::string> passes the value through
// temporary copies, which a secret text must not leave behind.
std::string ReadRequestText(const pt::ptree& tree, const std::string& path) {
    const std::string& text = tree.get_child(path).data();
    if (text.find('\0') != std::string::npos) {
        throw pt::ptree_bad_data("zero byte in " + path, path);
    }
    return text;
}

namespace {

bool ReadIsApp(const pt::ptree& request) {
    const auto text = request.get_optional<std::string>(
        XmlPath({msgnames::kStartProcess, msgnames::kAttributes, msgnames::kIsAppAttribute}));
    if (!text) {
        return false;
    }
    return ParseBoolText(*text).value_or(false);
}

std::vector<std::string> ReadParams(const pt::ptree& startProcess) {
    std::vector<std::string> params;
    const auto list = startProcess.get_child_optional(std::string(msgnames::kProcessParams));
    if (!list) {
        return params;
    }
    for (const auto& [childName, child] : *list) {
        // Only child elements are parameters: not the attributes of
        // ProcessParams, nor comments or text between its elements.
        if (childName == msgnames::kAttributes || childName == msgnames::kComment ||
            childName == "<xmltext>") {
            continue;
        }
        params.push_back(ReadRequestText(child, ""));
    }
    return params;
}

}  // namespace

ProcessStartRequest ReadStartRequest(const pt::ptree& request) {
    ProcessStartRequest result;
    result.isApp = ReadIsApp(request);
    const pt::ptree& startProcess = request.get_child(std::string(msgnames::kStartProcess));
    result.name = ReadRequestText(startProcess, std::string(msgnames::kProcessName));
    result.path = ReadRequestText(startProcess, std::string(msgnames::kProcessPath));
    if (startProcess.get_child_optional(std::string(msgnames::kStdinStr))) {
        result.stdinStr = ReadRequestText(startProcess, std::string(msgnames::kStdinStr));
    }
    result.params = ReadParams(startProcess);
    result.connectionId =
        startProcess.get_optional<int32_t>(std::string(msgnames::kConnectionId)).value_or(-1);
    return result;
}
