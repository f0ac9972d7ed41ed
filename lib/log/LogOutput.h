// Outputs of the log library and their registry.
//
// The library owns every registered output (at most 10). Each output has a
// type tag and a name; a second output with the same pair is refused. All
// calls into an output happen under "logLock", so an output needs no lock
// of its own for its state.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace dclog {

inline constexpr int kMaxOutputs = 10;

class LogOutput {
  public:
    LogOutput(uint32_t type, std::string name, int level);
    virtual ~LogOutput() = default;
    LogOutput(const LogOutput&) = delete;
    LogOutput& operator=(const LogOutput&) = delete;

    uint32_t Type() const { return type_; }
    const std::string& Name() const { return name_; }
    // Messages above this level are not handed to Write.
    int Level() const { return level_; }
    void SetLevel(int level) { level_ = level; }

    // Called once on registration; false refuses the registration.
    virtual bool Open() { return true; }
    // One formatted message, ending with a line feed, without prefix.
    virtual void Write(uint32_t address, std::string_view text) = 0;
    virtual void Flush() {}
    // Called once when the output leaves the registry.
    virtual void Close() {}

  private:
    uint32_t type_;
    std::string name_;
    int level_;
};

// Opens and registers the output. Returns it (still owned by the library),
// or nullptr when the registry is full, the pair is taken or Open failed.
LogOutput* RegisterOutput(std::unique_ptr<LogOutput> output);
// Closes and deletes the output of that type and name; false if none.
bool RemoveOutput(uint32_t type, std::string_view name);
// True when an output of that type and name is registered.
bool HasOutput(uint32_t type, std::string_view name);

}  // namespace dclog
