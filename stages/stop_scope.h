// Cooperative stop and pause for the flows: while a StopScope lives, every new Word instance
// first asks the flow's WorkControl, so after a stop no engine method starts another server, and
// the WorkControl is this thread's current work, whose gate the engine passes before every
// server call and inside long scans.
#pragma once

#include "platform/work_control.h"

namespace qm::stages {

class StopScope {
public:
    explicit StopScope(WorkControl& control);
    ~StopScope();
    StopScope(const StopScope&) = delete;
    StopScope& operator=(const StopScope&) = delete;

private:
    CurrentWorkScope current_;
};

// What Stop (and Escape, and close) do to a running flow: request the stop, then end the
// document servers so that a call blocked in one returns with an error.
void StopWork(WorkControl& control);

} // namespace qm::stages
