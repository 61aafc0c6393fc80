#include "stages/stop_scope.h"

#include "engine/engine_helpers.h"
#include "engine/word_automation.h"

namespace qm::stages {

StopScope::StopScope(WorkControl& control) : current_(control) {
    word::setStopCheck([&control] { return control.stopRequested(); });
}

StopScope::~StopScope() { word::setStopCheck({}); }

void StopWork(WorkControl& control) {
    control.requestStop();
    RunStopvane();
}

} // namespace qm::stages
