// The main window, the About box and the completion dialog on a real display: texts of every
// question and notice, Repair's hand-over, Skip Preview, F1 and Escape, the completion exits,
// and screenshots kept in <build>/test-artifacts.
#include "app/session_state.h"
#include "platform/registry.h"
#include "stages/exit_paths.h"
#include "ui/about_dialog.h"
#include "ui/completion_dialog.h"
#include "ui/main_menu.h"
#include "ui/main_window.h"
#include "ui/message_boxes.h"

#include "tests/support/test_support.h"
#include "tests/ui/windows/window_test_support.h"

#include <wx/app.h>
#include <wx/checkbox.h>
#include <wx/init.h>
#include <wx/listctrl.h>

#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <thread>

using namespace qm;
using namespace qm::ui;
using qm::test::press;
using qm::test::pump;
using qm::test::screenshot;
using qm::test::send;

namespace {

struct FakePreview : stages::PreviewHandOver {
    wxWindow* window = nullptr;
    int runs = 0;
    bool windowShownDuringRun = true;
    void runPreview() override {
        ++runs;
        windowShownDuringRun = window->IsShown();
    }
};

// What another process writes to a file once it is whole: the file exists before the shell
// has written to it, so wait for a last line that ends.
std::string wholeLines(const fs::path& file, int waitMs) {
    std::string text;
    for (int waited = 0;; waited += 20) {
        text = fs::exists(file) ? test::readText(file) : "";
        if ((!text.empty() && text.back() == '\n') || waited >= waitMs)
            return text;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

class Step1WindowTest : public test::IsolatedTest {
protected:
    void SetUp() override {
        if (test::noWindowDisplay())
            GTEST_SKIP() << "no display";
        test::useTestLogAndSkin(dir_.path());
        fs::create_directories(dir_ / "install" / "help");
        fs::create_directories(dir_ / "bin");
        test::writeText(dir_ / "install" / "help" / "index.html", "<html></html>");
        registry::writeValue("TYDOC", "FilePath", (dir_ / "install").string());
        auto& s = session();
        s.installFolder = dir_ / "install";
        s.skipPreview = false;
        s.quickRepairForced = false;
        // The desktop's opener, replaced by one that notes what it was asked to open.
        writeTool("xdg-open", "echo \"$1\" >> '" + (dir_ / "opened.txt").string() + "'");
        env_.set("PATH", (dir_ / "bin").string() + ":" + std::getenv("PATH"));
        window_ = new CQuillmendDlg(preview_);
        preview_.window = window_;
        window_->Show();
        pump();
    }
    void TearDown() override {
        if (!test::windowDisplay())
            return;
        if (window_)
            window_->Destroy();
        pump(50);
    }
    void writeTool(const std::string& name, const std::string& body) {
        const fs::path tool = name == "stopvane" ? dir_ / "install" / name : dir_ / "bin" / name;
        test::writeText(tool, "#!/bin/sh\n" + body + "\n");
        fs::permissions(tool, fs::perms::owner_all);
    }
    wxListCtrl* list() { return dynamic_cast<wxListCtrl*>(window_->FindWindow(id::kSourceList)); }
    std::string log() { return test::readText(dir_ / "logs" / "Activity Log.txt"); }
    std::string opened() { return wholeLines(dir_ / "opened.txt", 5000); }
    std::vector<std::string> twoFiles() {
        test::writeText(dir_ / "Report.doc", "a");
        test::writeText(dir_ / "report.doc", "b");
        return {(dir_ / "Report.doc").string(), (dir_ / "report.doc").string()};
    }

    FakePreview preview_;
    CQuillmendDlg* window_ = nullptr;
    DialogueScript boxes_;
};

TEST_F(Step1WindowTest, QuestionsAndNoticesOfStep1) {
    window_->pickFiles = [this] { return twoFiles(); };
    send(window_, wxEVT_BUTTON, id::kClearAll);
    send(window_, wxEVT_BUTTON, id::kRepair);
    send(window_, wxEVT_BUTTON, id::kBrowse);
    ASSERT_EQ(list()->GetItemCount(), 2);
    EXPECT_EQ(list()->GetItemText(1, 0), "2");
    EXPECT_EQ(list()->GetItemText(1, 1).utf8_string(), (dir_ / "report.doc").string());
    screenshot("step1-main-window");

    send(window_, wxEVT_BUTTON, id::kClearSelected);
    list()->SetItemState(0, wxLIST_STATE_SELECTED, wxLIST_STATE_SELECTED);
    boxes_.answers = {true};
    send(window_, wxEVT_BUTTON, id::kClearSelected);
    ASSERT_EQ(list()->GetItemCount(), 1);
    EXPECT_EQ(list()->GetItemText(0, 0), "1");
    boxes_.answers = {false};
    send(window_, wxEVT_MENU, id::kMenuClearLog);
    boxes_.answers = {false};
    send(window_, wxEVT_MENU, id::kMenuExit);
    boxes_.answers = {true};
    send(window_, wxEVT_BUTTON, id::kClearAll);
    EXPECT_EQ(list()->GetItemCount(), 0);
    EXPECT_FALSE(window_->FindWindow(id::kClearAll)->IsEnabled());
    boxes_.answers = {false};
    press(window_, WXK_ESCAPE);
    EXPECT_TRUE(window_->IsShown()) << "Escape answered No changes nothing";

    EXPECT_EQ(boxes_.texts(), (std::vector<std::string>{
                                  "No files selected, Kindly select a file",
                                  "Please select any file to remove",
                                  "Do you want to clear the selected file?",
                                  "Do you want to clear Log File?",
                                  "Do you want to exit?",
                                  "Do you want to clear all files ?",
                                  "Do you want to exit ? ",
                              }));
    for (const auto& m : boxes_.messages)
        EXPECT_EQ(m.substr(0, m.find('|')), "Tessary for Word");
}

TEST_F(Step1WindowTest, RepairHandsOverWithTheWindowHidden) {
    window_->AddFiles(twoFiles());
    send(window_, wxEVT_BUTTON, id::kRepair);
    EXPECT_EQ(preview_.runs, 1);
    EXPECT_FALSE(preview_.windowShownDuringRun);
    EXPECT_TRUE(window_->IsShown()) << "back from the preview stage";
    EXPECT_NE(log().find("Source Files :\r\n______________\r\n\r\n1-   " + (dir_ / "Report.doc").string() + "\r\n2-   " +
                         (dir_ / "report.doc").string() + "\r\n"),
              std::string::npos);
    EXPECT_NE(log().find("****************** Step 2 :- Analysis Files and Preview Selection******************\r\n\r\n"
                         "Total Files Count :    2\r\n___________________\r\n\r\n"
                         "File Number      Preview Number      File Name\r\n"
                         "___________      ______________      _________\r\n\r\n"),
              std::string::npos);

    // A document server runs (the check says so) and the user keeps it: no Step 2 lines.
    writeTool("stopvane", "[ \"$1\" = -check ] && exit 1; exit 0");
    fs::remove(dir_ / "logs" / "Activity Log.txt");
    boxes_.answers = {false};
    send(window_, wxEVT_BUTTON, id::kRepair);
    EXPECT_EQ(preview_.runs, 1);
    EXPECT_EQ(boxes_.texts().back(), " Microsoft word file is Running, Do you want to close the application ?");
    EXPECT_EQ(log().find("Step 2"), std::string::npos);

    // With an automation client attached, Exit answered Yes only hides the window.
    window_->SetAutomationClients(1);
    boxes_.answers = {true};
    send(window_, wxEVT_MENU, id::kMenuExit);
    EXPECT_FALSE(window_->IsShown());
    EXPECT_TRUE(window_->HiddenForAutomation());
}

TEST_F(Step1WindowTest, SkipPreviewMenuAndBoxInStepF1OpensHelp) {
    auto* box = dynamic_cast<wxCheckBox*>(window_->FindWindow(id::kSkipPreviewBox));
    send(window_, wxEVT_MENU, id::kMenuSkipPreview);
    EXPECT_TRUE(box->GetValue());
    EXPECT_TRUE(window_->GetMenuBar()->IsChecked(id::kMenuSkipPreview));
    EXPECT_TRUE(session().skipPreview);
    box->SetValue(false);
    wxCommandEvent click(wxEVT_CHECKBOX, id::kSkipPreviewBox);
    click.SetInt(0);
    click.SetEventObject(box);
    box->GetEventHandler()->ProcessEvent(click);
    EXPECT_FALSE(window_->GetMenuBar()->IsChecked(id::kMenuSkipPreview));
    EXPECT_FALSE(session().skipPreview);
    for (int greyed : {id::kMenuSaveCurrent, id::kMenuSaveAll, id::kMenuPreview1, id::kMenuPreview1 + 3})
        EXPECT_FALSE(window_->GetMenuBar()->IsEnabled(greyed));

    press(window_, WXK_F1);
    EXPECT_EQ(opened(), (dir_ / "install" / "help" / "index.html").string() + "\n");
}

TEST_F(Step1WindowTest, AboutBoxAndCompletionDialogScreenshots) {
    auto* about = new CAboutDlg(window_);
    about->Show();
    pump();
    screenshot("step1-about-box");
    about->Destroy();

    auto* done = new CViewLog(window_);
    done->Show();
    pump();
    screenshot("completion-dialog");
    done->Destroy();
    pump(50);
    EXPECT_NE(log().find("\r\n\r\n******************* Repairing Completed successfully***********************************"),
              std::string::npos);
}

// Each exit of the completion dialog ends the process with code 0 after its clean-up. Every
// exit runs in a child copy of this program (CompletionChild below) that shares this test's
// folders through the environment.
TEST_F(Step1WindowTest, CompletionExits) {
    const fs::path tmp = dir_ / "tmp";
    const auto runExit = [&](const std::string& mode) {
        for (int n = 1; n <= 4; ++n)
            test::writeText(tmp / ("p" + std::to_string(n) + ".mht"), "x");
        fs::create_directories(tmp / "pkg" / "word" / "media");
        int status = 0;
        test::runCommand("QM_COMPLETION_EXIT=" + mode + " QM_COMPLETION_DIR='" + tmp.string() + "' " +
                             fs::read_symlink("/proc/self/exe").string() +
                             " --gtest_filter=CompletionChild.OneExit >/dev/null 2>&1",
                         status);
        return status;
    };
    EXPECT_EQ(runExit("ok"), 0);
    EXPECT_TRUE(fs::is_empty(tmp)) << "the previews and the rest of the temporary folder are gone";

    EXPECT_EQ(runExit("viewlog"), 0);
    EXPECT_EQ(opened(), (dir_ / "logs" / "Activity Log.txt").string() + "\n");
    EXPECT_TRUE(fs::is_empty(tmp));

    EXPECT_EQ(runExit("escape-yes"), 0);
    EXPECT_TRUE(fs::is_empty(tmp));
    EXPECT_EQ(runExit("escape-no"), 3 << 8) << "No keeps the dialog";

    boxes_.answers = {false};
    auto* done = new CViewLog(window_);
    press(done, WXK_ESCAPE);
    EXPECT_EQ(boxes_.texts().back(), " Saving Process is in running, Do you want to exit ? ");
    done->Destroy();
}

// The program itself: a second start hands over its files and ends with the notice; Repair
// in the first lists them and runs the analysis and the preview window; Escape answered Yes
// ends it with code 0 and an empty temporary folder.
TEST_F(Step1WindowTest, SecondStartEscapeAndTemporaryFolder) {
    if (!test::haveTool("xdotool"))
        GTEST_SKIP() << "xdotool missing";
    const fs::path program = fs::path(QM_TEST_BIN_DIR) / "quillmend";
    registry::writeValue("TYDOC", "FilePath", QM_TEST_BIN_DIR);
    fs::create_directories(dir_ / "run");
    fs::permissions(dir_ / "run", fs::perms::owner_all, fs::perm_options::replace);
    env_.set("XDG_RUNTIME_DIR", (dir_ / "run").string());
    env_.set("QUILLMEND_WINDIR", fs::path(QM_TEST_BIN_DIR).parent_path().string() + "/share");
    env_.set("QUILLMEND_TEST_DIALOGUE", (dir_ / "boxes.txt").string());
    const auto files = twoFiles();
    // The first file is the shipped damaged .doc: Repair runs its analysis and the preview
    // window shows its Preview 1 by itself.
    const fs::path sample = fs::path(QM_TEST_BIN_DIR).parent_path() / "samples" / "Damaged Report.doc";
    if (fs::exists(sample))
        fs::copy_file(sample, files[0], fs::copy_options::overwrite_existing);
    // Where Repair sits on the screen: the program's window is this one, centred alike.
    const wxRect repair = window_->FindWindow(id::kRepair)->GetScreenRect();
    const wxSize frameSize = window_->GetSize();
    window_->Destroy();
    window_ = nullptr;
    pump(100);

    int status = 0;
    test::runCommand("('" + program.string() + "' '" + files[0] + "' & echo $! > '" + (dir_ / "pid").string() +
                         "'; wait $!; echo $? > '" + (dir_ / "rc").string() + "') >/dev/null 2>&1 &",
                     status);
    // Whatever happens below, the program does not outlive the test.
    struct EndProgram {
        fs::path pidFile;
        ~EndProgram() {
            const std::string pid = wholeLines(pidFile, 1000);
            if (std::atoi(pid.c_str()) > 0)
                ::kill(std::atoi(pid.c_str()), SIGKILL);
        }
    } endProgram{dir_ / "pid"};
    // The main window, not the splash: a visible window of the main window's size.
    const std::string size = std::to_string(frameSize.x) + "x" + std::to_string(frameSize.y);
    bool shown = false;
    for (int i = 0; i < 150 && !shown; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        shown = test::runCommand("xdotool search --onlyvisible --name 'Tessary for Word' getwindowgeometry %@ 2>/dev/null",
                                 status)
                    .find("Geometry: " + size) != std::string::npos;
    }
    ASSERT_TRUE(shown) << "the main window appeared";
    pump(500);

    test::runCommand("'" + program.string() + "' '" + files[1] + "' >/dev/null 2>&1", status);
    EXPECT_EQ(status, 0) << "a second start ends with code 0";
    EXPECT_EQ(test::readText(dir_ / "boxes.txt"), "Tessary for Word|Tessary for Word is already running\n");

    std::this_thread::sleep_for(std::chrono::milliseconds(1500)); // the first start takes the files
    const wxPoint at = repair.GetPosition() + repair.GetSize() / 2;
    test::runCommand("xdotool mousemove " + std::to_string(at.x) + " " + std::to_string(at.y) + " click 1", status);
    for (int i = 0; i < 100 && log().find("Total Files Count") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_NE(log().find("1-   " + files[0] + "\r\n2-   " + files[1] + "\r\n"), std::string::npos) << log();
    EXPECT_NE(log().find("Total Files Count :    2"), std::string::npos);
    if (fs::exists(sample)) {
        const std::string row = "\r\n1                     1            " + files[0] + "\r\n";
        for (int i = 0; i < 300 && log().find(row) == std::string::npos; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_NE(log().find(row), std::string::npos) << "the preview window showed Preview 1 of file 1\n" << log();
        screenshot("step2-program-preview", 1500);
    }

    test::runCommand("xdotool key Escape", status);
    EXPECT_EQ(wholeLines(dir_ / "rc", 5000), "0\n") << "Escape answered Yes ends the program with code 0";
    EXPECT_NE(test::readText(dir_ / "boxes.txt").find("Tessary for Word|Do you want to exit ? \n"), std::string::npos);
    EXPECT_TRUE(fs::is_empty(dir_ / "tmp")) << "nothing is left in the temporary folder";
}

TEST(CompletionChild, OneExit) {
    const char* mode = std::getenv("QM_COMPLETION_EXIT");
    if (!mode || !test::windowDisplay())
        GTEST_SKIP() << "run by CompletionExits";
    auto& s = session();
    const fs::path tmp = std::getenv("QM_COMPLETION_DIR");
    for (int n = 1; n <= 4; ++n)
        s.previewDocPath[n] = tmp / ("p" + std::to_string(n) + ".mht");
    s.docxWorkFolder = tmp / "pkg";
    s.installFolder = registry::readValue("TYDOC", "FilePath");
    DialogueScript boxes;
    auto* done = new CViewLog(nullptr);
    const std::string m = mode;
    if (m == "ok" || m == "viewlog") {
        dynamic_cast<wxCheckBox*>(done->FindWindow(id::kViewLogBox))->SetValue(m == "viewlog");
        send(done, wxEVT_BUTTON, id::kCompletionOk);
    } else {
        boxes.answers = {m == "escape-yes"};
        press(done, WXK_ESCAPE);
    }
    std::_Exit(3);
}

} // namespace
