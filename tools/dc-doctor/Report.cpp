#include "tools/dc-doctor/Report.h"

#include <algorithm>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

namespace doctor {

const char* StatusName(Status status) {
    switch (status) {
        case Status::kOk:
            return "ok";
        case Status::kWarning:
            return "warning";
        case Status::kFailure:
            return "failure";
    }
    return "failure";
}

Status WorstStatus(const std::vector<CheckResult>& results) {
    Status worst = Status::kOk;
    for (const CheckResult& result : results) {
        worst = std::max(worst, result.status);
    }
    return worst;
}

void WriteText(std::ostream& out, const std::vector<CheckResult>& results) {
    for (const CheckResult& result : results) {
        out << StatusName(result.status) << ' ' << result.name << ": " << result.detail;
        if (!result.fix.empty()) {
            out << " -- fix: " << result.fix;
        }
        out << '\n';
    }
}

void WriteJson(std::ostream& out, const std::vector<CheckResult>& results) {
    boost::property_tree::ptree checks;
    for (const CheckResult& result : results) {
        boost::property_tree::ptree check;
        check.put("name", result.name);
        check.put("status", StatusName(result.status));
        check.put("detail", result.detail);
        check.put("fix", result.fix);
        checks.push_back({"", check});
    }
    boost::property_tree::ptree document;
    document.put("status", StatusName(WorstStatus(results)));
    document.add_child("checks", checks);
    boost::property_tree::write_json(out, document, true);
}

}  // namespace doctor
