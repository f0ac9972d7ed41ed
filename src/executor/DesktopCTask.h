// A unit of desktop work run by DesktopCExecutor on a task thread. Always
// held through shared references; failures stay inside the task.
#pragma once

#include <string>

#include "src/executor/DesktopInfo.h"

class DesktopCTask {
  public:
    virtual void Execute(const DesktopInfo& info) = 0;
    virtual std::string GetName() = 0;
    virtual ~DesktopCTask() = default;
};
