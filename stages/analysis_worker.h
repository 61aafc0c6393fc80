// The analysis of one source file, as the analysis dialog's worker runs it.
#pragma once

#include "platform/work_control.h"
#include "stages/engine_adapters.h"
#include "stages/flow_result.h"

namespace qm::stages {

// How the analysis ended; Failed: an error escaped the engine (the candidates made stay).
struct AnalysisResult : FlowResult {
    bool ranEngine = false; // false for an extension other than "doc" and "docx" (any letter case)
};

// Deletes the previous file's previews, then runs the engine the extension picks, compared
// without regard to letter case ("doc" → .doc engine; "docx" → .docx engine; anything else →
// none) on file number
// fileNumber (1-based) of sourceFiles, and finally raises analysisFinished and
// analysisThreadEnded. An error escaping the engine ends the analysis as if the engine had
// returned, with whatever candidates exist.
// With a WorkControl the engine runs under its pause and stop gate (runFlow).
AnalysisResult RunAnalysis(AnalysisEngine& engine, int fileNumber, WorkControl* control = nullptr);

} // namespace qm::stages
