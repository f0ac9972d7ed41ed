#include "tools/dc-doctor/ProblemRecords.h"

#include "lib/log/Log.h"

namespace doctor {

ProblemRecords::ProblemRecords() : capture_(dclog::kWarning) {}

std::string ProblemRecords::Text() const {
    std::string text;
    for (std::string line : capture_.Lines()) {
        while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) {
            line.pop_back();
        }
        if (line.empty()) {
            continue;
        }
        text += (text.empty() ? "" : "; ") + line;
    }
    return text;
}

}  // namespace doctor
