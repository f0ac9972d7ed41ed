// Records logged while the file output is being started, before it can
// take them: the start's own warnings about settings, the directory and
// the file. Kept until the start is over, then handed to the new output,
// or written to standard error when no output came of it.
#pragma once

#include <memory>

#include "lib/log/LogOutput.h"

namespace dclog {

struct PendingBuffer;

class PendingRecords {
  public:
    // Starts collecting every record at warning level or more severe.
    PendingRecords();
    // Replays to standard error when Replay was not called.
    ~PendingRecords();
    PendingRecords(const PendingRecords&) = delete;
    PendingRecords& operator=(const PendingRecords&) = delete;

    // Stops collecting and writes what was kept to output, or to standard
    // error when output is null (records already shown there are skipped).
    void Replay(LogOutput* output);

  private:
    std::shared_ptr<PendingBuffer> buffer_;
    bool replayed_ = false;
};

}  // namespace dclog
