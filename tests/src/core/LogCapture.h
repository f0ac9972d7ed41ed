// Records what the code under test logs. This test executable provides
// its own LogMessage/LogMessageV, so every record lands here instead of in
// the log library, formatted exactly as the caller asked.
#pragma once

#include <string>
#include <vector>

namespace coretest {

struct LogRecord {
    int level;
    std::string text;
};

// Forgets every record so far.
void ClearLog();
std::vector<LogRecord> LoggedRecords();
// Number of records with exactly this level and text.
int CountRecords(int level, const std::string& text);
// True when any record contains part.
bool AnyRecordContains(const std::string& part);

}  // namespace coretest
