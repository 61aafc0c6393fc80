#include "stages/analysis_worker.h"

#include "app/session_state.h"
#include "stages/repair_start.h"

namespace qm::stages {

AnalysisResult RunAnalysis(AnalysisEngine& engine, int fileNumber, WorkControl* control) {
    auto& s = session();
    AnalysisResult result;
    s.clearPreviewFiles();
    const std::string path = s.sourceFileAt(fileNumber - 1);
    const std::string ext = lowerCase(extensionOf(path));
    static_cast<FlowResult&>(result) = runFlow(control, [&] {
        if (ext == "doc") {
            s.currentSourcePath = path;
            s.inputIsDocx = false;
            result.ranEngine = true;
            engine.SalvageDocFile();
        }
        if (ext == "docx") {
            s.currentSourcePath = path;
            s.inputIsDocx = true;
            result.ranEngine = true;
            engine.SalvageDocxFile();
        }
    });
    s.analysisFinished = true;
    s.analysisThreadEnded = true;
    return result;
}

} // namespace qm::stages
