// quillmend: the desktop program. Start-up in order: the command line and the automation
// registrations (no display needed), the display check, the toolkit, the single-instance
// check, the run's private temporary folder, the main window behind the splash.
#include "app/activity_log.h"
#include "app/run_environment.h"
#include "app/session_state.h"
#include "app/single_instance.h"
#include "app/startup.h"
#include "stages/engine_adapters.h"
#include "stages/exit_paths.h"
#include "stages/step1_flow.h"
#include "ui/main_window.h"
#include "ui/message_boxes.h"
#include "ui/preview_window.h"
#include "ui/saving_dialog.h"
#include "ui/splash_screen.h"

#include <wx/app.h>
#include <wx/init.h>
#include <wx/log.h>
#include <wx/timer.h>

#include <cstdlib>
#include <iostream>
#include <memory>

namespace {

using namespace qm;

class QuillmendApp : public wxApp {
public:
    explicit QuillmendApp(startup::Options options) : options_(std::move(options)) {}

    bool OnInit() override {
        if (const char* transcript = std::getenv("QUILLMEND_TEST_DIALOGUE"); transcript && *transcript)
            script_ = std::make_unique<ui::DialogueScript>(transcript);

        if (!instance_.claim() && instance_.otherStartRunning()) {
            instance_.sendFiles(options_.files);
            ui::ShowNotice(nullptr, stages::step1text::kAlreadyRunning);
            stages::endProcess(stages::ExitPath::SecondInstance);
        }

        // Everything temporary of this run lives in one private folder, removed on every exit
        // (the exits end the process at once, so they remove it themselves).
        runTemp_ = std::make_unique<PrivateTempFolder>();
        stages::setRunTempFolder(runTemp_->path());
        ensureWritableLogFolder();

        analysisEngine_ = stages::makeAnalysisEngine();
        preview_ = std::make_unique<ui::PreviewStage>(*analysisEngine_, save_);
        window_ = new ui::CQuillmendDlg(*preview_);
        SetTopWindow(window_);
        window_->AddFiles(options_.files);
        ui::CSplashScreenEx::Run(window_, [this] {
            if (window_)
                window_->Show();
        });
        window_->Bind(wxEVT_DESTROY, [this](wxWindowDestroyEvent& e) {
            if (e.GetEventObject() == window_)
                window_ = nullptr;
            e.Skip();
        });

        // Files from later starts and automation clients arrive through the instance socket.
        poll_.Bind(wxEVT_TIMER, [this](wxTimerEvent&) { Poll(); });
        poll_.Start(200);
        return true;
    }

    int OnExit() override {
        poll_.Stop();
        stages::runExitCleanup(stages::ExitPath::MainWindowClosed);
        return 0;
    }

private:
    void Poll() {
        const auto files = instance_.poll();
        if (!window_)
            return;
        if (!files.empty()) {
            window_->AddFiles(files);
            if (!window_->IsShown() && !window_->HiddenForAutomation())
                return;
            window_->Show();
            window_->Raise();
        }
        window_->SetAutomationClients(instance_.attachedClients());
        // The last client left a window that was closed meanwhile: the program ends.
        if (window_->HiddenForAutomation() && instance_.attachedClients() == 0 && !window_->IsShown())
            window_->Destroy();
    }

    startup::Options options_;
    SingleInstance instance_;
    std::unique_ptr<ui::DialogueScript> script_;
    std::unique_ptr<PrivateTempFolder> runTemp_;
    std::unique_ptr<stages::AnalysisEngine> analysisEngine_;
    ui::SavingStage save_;
    std::unique_ptr<ui::PreviewStage> preview_;
    ui::CQuillmendDlg* window_ = nullptr;
    wxTimer poll_;
};

std::filesystem::path selfPath(const char* argv0) {
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::absolute(argv0) : self;
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const auto options = startup::parseArguments(args);
    session().loadIdentity();
    session().installFolder = locateInstallFolder(session().installFolder);
    if (const auto rc = startup::beforeWindows(options, selfPath(argv[0]), std::cout, std::cerr))
        return *rc;

    wxApp::SetInstance(new QuillmendApp(options));
    // The toolkit's own complaints are replaced by one line of ours.
    wxLog::EnableLogging(false);
    int wxArgc = 1;
    char* wxArgv[] = {argv[0], nullptr};
    if (!wxEntryStart(wxArgc, wxArgv)) {
        std::cerr << startup::kToolkitFailed << "\n";
        return 1;
    }
    wxLog::EnableLogging(true);
    int rc = 1;
    if (wxTheApp->CallOnInit()) {
        rc = wxTheApp->OnRun();
        wxTheApp->OnExit();
    }
    wxEntryCleanup();
    return rc;
}
