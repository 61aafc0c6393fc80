#include "stages/exit_paths.h"

#include "app/activity_log.h"
#include "app/run_environment.h"
#include "app/session_state.h"
#include "engine/engine_helpers.h"
#include "platform/files.h"
#include "platform/temp.h"
#include "stages/repair_start.h"

#include <cstdio>
#include <cstdlib>

namespace qm::stages {

namespace {

std::filesystem::path& tempFolder() {
    static std::filesystem::path folder;
    return folder;
}

void deleteDocPreviews() {
    auto& s = session();
    for (int n : {2, 3, 4, 1})
        if (!s.previewDocPath[n].empty())
            files::deleteFile(s.previewDocPath[n]);
}

// True for a path inside the temporary folder: only there may an exit remove things, never
// in a destination folder the user picked.
bool inTemp(const std::filesystem::path& p) {
    if (p.empty())
        return false;
    const std::string text = p.lexically_normal().string();
    for (const std::string& root : {temp::folder(), tempFolder().empty() ? std::string{} : tempFolder().string() + "/"})
        if (!root.empty() && text.size() > root.size() && text.compare(0, root.size(), root) == 0 &&
            text.find("/../") == std::string::npos)
            return true;
    return false;
}

// What a run may leave in the temporary folder: previews, the unpacked package, the picture
// documents and text document of the salvage, and the run's own folder with anything else.
void removeRunLeftovers() {
    auto& s = session();
    cleanUpRunFiles();
    for (const auto* folder : {&s.docxPreviewFolder, &s.pictureFolder})
        if (inTemp(*folder) && files::isFolder(*folder))
            files::removeTree(*folder);
    if (inTemp(s.salvagedTextDocPath))
        files::deleteFile(s.salvagedTextDocPath);
    if (!tempFolder().empty())
        files::removeTree(tempFolder());
}

} // namespace

void setRunTempFolder(const std::filesystem::path& folder) { tempFolder() = folder; }
const std::filesystem::path& runTempFolder() { return tempFolder(); }

void completionWordCheck() {
    if (WordIsRunning())
        RunStopvane();
}

void runExitCleanup(ExitPath path) {
    switch (path) {
    case ExitPath::EscapeAnalysis:
    case ExitPath::SavingStopped:
    case ExitPath::CompletionEscape:
        RunStopvane();
        break;
    case ExitPath::PreviewExit:
        session().clearPreviewFiles();
        break;
    case ExitPath::CompletionOk:
        deleteDocPreviews();
        completionWordCheck();
        break;
    case ExitPath::CompletionOkViewLog:
        completionWordCheck();
        viewLog();
        break;
    case ExitPath::CompletionClose:
        deleteDocPreviews();
        break;
    case ExitPath::MainWindowClosed:
    case ExitPath::EscapeMain:
    case ExitPath::EscapePreview:
        break;
    case ExitPath::SecondInstance:
        return; // the temporary folder belongs to the running start
    }
    removeRunLeftovers();
}

void endProcess(ExitPath path) {
    runExitCleanup(path);
    std::fflush(nullptr);
    std::_Exit(0);
}

} // namespace qm::stages
