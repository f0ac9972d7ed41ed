// The daemon's own code does the doctor's looking, and it explains every
// failure in a log record. While a ProblemRecords lives those records are
// kept instead of going anywhere, so a check can quote them as its reason.
#pragma once

#include <string>

#include "lib/log/LogCapture.h"

namespace doctor {

class ProblemRecords {
  public:
    ProblemRecords();
    // The warning and error records so far, joined by "; ", without their
    // line ends; empty when there were none.
    std::string Text() const;

  private:
    dclog::LogCapture capture_;
};

}  // namespace doctor
