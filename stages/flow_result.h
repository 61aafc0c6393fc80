// How a flow ends (the analysis of one file, a saving run), and the one place that decides it.
#pragma once

#include "platform/work_control.h"

#include <exception>
#include <functional>
#include <string>

namespace qm::stages {

// Stopped is neither a failure nor a completion: what was finished before the stop stays.
enum class FlowOutcome { Completed, Stopped, Failed };

struct FlowResult {
    FlowOutcome outcome = FlowOutcome::Completed;
    std::string error; // Failed: the error that ended the flow
};

// How work under control ended, given the error that escaped it (none: it returned). Once a
// stop was requested, any end is Stopped: the stop ends the document servers, so a call
// blocked in one fails with a server error, and the engine may end quietly after it.
// StopRequested is Stopped too; any other error is Failed with its text.
FlowResult endOf(const WorkControl* control, std::exception_ptr error);

// Runs body with control as this thread's current work, whose pause and stop gate the engine
// passes before every document-server call and inside long loops (see platform/work_control.h),
// and returns how it ended (endOf). Without a control the body runs under the thread's current
// work, and only what escapes it counts.
FlowResult runFlow(WorkControl* control, const std::function<void()>& body);

// What Stop (and Escape, and close) do to a running flow: request the stop, then end the
// document servers so that a call blocked in one returns with an error.
void StopWork(WorkControl& control);

} // namespace qm::stages
