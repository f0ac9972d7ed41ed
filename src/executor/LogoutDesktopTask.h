// Ends the desktop session through the desktop task script.
// Waits for the script to end; its result is not reported.
#pragma once

#include <string>

#include "src/executor/DesktopCTask.h"

class LogoutDesktopTask : public DesktopCTask {
  public:
    void Execute(const DesktopInfo& info) override;
    std::string GetName() override;
};
