#include "stages/flow_result.h"

#include "engine/engine_helpers.h"

#include <optional>

namespace qm::stages {

FlowResult endOf(const WorkControl* control, std::exception_ptr error) {
    if (control && control->stopRequested())
        return {FlowOutcome::Stopped, {}};
    if (!error)
        return {};
    try {
        std::rethrow_exception(error);
    } catch (const StopRequested&) {
        return {FlowOutcome::Stopped, {}};
    } catch (const std::exception& e) {
        return {FlowOutcome::Failed, e.what()};
    } catch (...) {
        return {FlowOutcome::Failed, "unknown error"};
    }
}

FlowResult runFlow(WorkControl* control, const std::function<void()>& body) {
    std::optional<CurrentWorkScope> current;
    if (control)
        current.emplace(*control);
    std::exception_ptr error;
    try {
        body();
    } catch (...) {
        error = std::current_exception();
    }
    return endOf(control, error);
}

void StopWork(WorkControl& control) {
    control.requestStop();
    RunStopvane();
}

} // namespace qm::stages
