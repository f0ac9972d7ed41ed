// A named process started for the agent: one object per process name,
// reused for every later start of that name. Right after each start it
// writes a one-shot text (the started component's IPC token) to the child's
// standard input; when the process named "CDRServer" exits, the user's
// "~/tsclient" mount is detached.
//
// Ownership and threads as for ProcessObject: onStarted runs on the monitor
// thread, onExitCb on the exit thread.
#pragma once

#include <string>

#include "src/process/ProcessObject.h"

class RdeProcess : public ProcessObject {
  public:
    RdeProcess(const std::string& name, int rid, int outFd);
    ~RdeProcess() override;

    void setRid(int rid);
    // The text for the next start; it needs standard-input mode kStdinPipe.
    void setStdinStr(const std::string& text);

    void onStarted() override;
    void onExitCb() override;
    // The text was meant for a new child: the one still running has had its own.
    void onStartSkipped() override;

  private:
    std::string stdinStr_;  // guarded by the ProcessObject lock
};
