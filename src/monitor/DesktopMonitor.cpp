#include "src/monitor/DesktopMonitor.h"

void DesktopMonitor::Stop() {
    std::lock_guard<std::mutex> guard(lock_);
    running_ = false;
    if (thread_.joinable()) {
        thread_.detach();
    }
}
