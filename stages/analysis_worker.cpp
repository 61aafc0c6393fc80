#include "stages/analysis_worker.h"

#include "app/session_state.h"
#include "platform/work_control.h"
#include "stages/repair_start.h"
#include "stages/stop_scope.h"

#include <optional>

#include <exception>

namespace qm::stages {

AnalysisResult RunAnalysis(AnalysisEngine& engine, int fileNumber, WorkControl* control) {
    std::optional<StopScope> stopScope;
    if (control)
        stopScope.emplace(*control);
    auto& s = session();
    AnalysisResult result;
    s.clearPreviewFiles();
    const std::string path = s.sourceFileAt(fileNumber - 1);
    const std::string ext = lowerCase(extensionOf(path));
    try {
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
    } catch (const StopRequested&) {
        result.error = "stopped";
    } catch (const std::exception& e) {
        result.error = e.what();
    } catch (...) {
        result.error = "unknown error";
    }
    if (control && control->stopRequested() && result.error.empty())
        result.error = "stopped";
    s.analysisFinished = true;
    s.analysisThreadEnded = true;
    return result;
}

} // namespace qm::stages
