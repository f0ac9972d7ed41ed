// The controller's front end to the log library.
//
// Start-up creates the one instance on the main thread, before any other
// thread exists; it reads the wanted level from the preferences, starts the
// log file and logs the level in force. The clean-exit path deletes the
// instance through its pointer, which shuts the log library down.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "lib/config/Dictionary.h"

class LoggerWrapper {
  public:
    // Creates the instance on the first call; later calls ignore appName.
    // Not locked: called once at start-up.
    static LoggerWrapper* getInstance(const std::string& appName);

    virtual ~LoggerWrapper();
    LoggerWrapper(const LoggerWrapper&) = delete;
    LoggerWrapper& operator=(const LoggerWrapper&) = delete;

    // "error", "warn", "info", "debug", "trace", "verbose"; "unsupported"
    // for any other number.
    static std::string getLevelName(int level);
    // The number of one of the six names; none for any other text.
    static std::optional<int32_t> levelOf(const std::string& name);
    // Accepts exactly the six names (case-sensitive); anything else leaves
    // the level unchanged.
    void parseLogLevel(const std::string& name);

    // The log file settings the daemon gives its file output, under the
    // preferences: where the configured path is read from, the default
    // name's suffix, how many old files stay, the file's level.
    static void FillFileDefaults(Dictionary& dictionary, const std::string& appName);

    int32_t getLevel() const { return level; }
    const std::string& getAppName() const { return appName; }

  protected:
    explicit LoggerWrapper(const std::string& appName);

  private:
    int32_t level = 5;
    std::string appName;

    static LoggerWrapper* instance;
};
