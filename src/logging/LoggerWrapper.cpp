#include "src/logging/LoggerWrapper.h"

#include <array>
#include <utility>

#include "lib/config/Dictionary.h"
#include "lib/config/Preference.h"
#include "lib/log/Log.h"
#include "lib/log/LogFileOutput.h"
#include "lib/log/LogPrefix.h"
#include "src/logging/ProductVersion.h"
#include "src/logging/SettingsLayers.h"

LoggerWrapper* LoggerWrapper::instance = nullptr;

namespace {

constexpr std::array<std::pair<const char*, int>, 6> kLevelNames = {{
    {"error", dclog::kError},
    {"warn", dclog::kWarning},
    {"info", dclog::kInfo},
    {"debug", dclog::kDebug},
    {"trace", dclog::kDebug1},
    {"verbose", dclog::kDebug2},
}};

constexpr const char* kProductName = "DesktopController";
constexpr const char* kBuildType = "Release";

}  // namespace

LoggerWrapper* LoggerWrapper::getInstance(const std::string& appName) {
    if (instance == nullptr) {
        instance = new LoggerWrapper(appName);
    }
    return instance;
}

LoggerWrapper::LoggerWrapper(const std::string& appName) : appName(appName) {
    Dictionary dictionary;
    const std::string levelKey = appName + ".log.logLevel";
    level = dclog::kInfo;
    parseLogLevel(Preference_GetString("info", levelKey.c_str()).value_or("info"));

    FillFileDefaults(dictionary, appName);

    dclog::SetProductInfo(kProductName, product::Version(), product::BuildNumber(), kBuildType);
    dclog::StartFileOutput(appName, dclogging::DictionaryLayer(dictionary), dclogging::PreferenceLayer(),
                           true);
    Log_SetLevel(0, level);
    LogMessage(dclog::kInfo, "Log level of %s is %s\n", appName.c_str(), getLevelName(level).c_str());
}

void LoggerWrapper::FillFileDefaults(Dictionary& dictionary, const std::string& appName) {
    dictionary.SetString("log.config", appName + ".log.filename");
    dictionary.SetString("log.suffix", appName);
    dictionary.SetInt32("log.keepOld", 50);
    dictionary.SetString("log.fileLevel", "debug2");
}

LoggerWrapper::~LoggerWrapper() {
    Log_Shutdown();
    if (instance == this) {
        instance = nullptr;
    }
}

std::string LoggerWrapper::getLevelName(int level) {
    for (const auto& [name, number] : kLevelNames) {
        if (number == level) {
            return name;
        }
    }
    return "unsupported";
}

std::optional<int32_t> LoggerWrapper::levelOf(const std::string& name) {
    for (const auto& [known, number] : kLevelNames) {
        if (name == known) {
            return number;
        }
    }
    return std::nullopt;
}

void LoggerWrapper::parseLogLevel(const std::string& name) {
    level = levelOf(name).value_or(level);
}
