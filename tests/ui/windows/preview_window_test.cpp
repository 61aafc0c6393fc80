// The preview window on a real display: the shipped damaged samples through the real engine
// and document server (each preview of the .doc kept as a screenshot, the .docx gallery with
// its pictures, a file change deleting the previous previews), a path with blanks, "#", "%"
// and non-ASCII letters, hostile pages kept in, the save hand-over and the exits.
#include "app/session_state.h"
#include "platform/registry.h"
#include "stages/exit_paths.h"
#include "stages/preview_model.h"
#include "ui/analysis_dialog.h"
#include "ui/main_menu.h"
#include "ui/message_boxes.h"
#include "ui/preview_window.h"

#include "tests/support/test_support.h"
#include "tests/ui/windows/window_test_support.h"

#include <arpa/inet.h>
#include <gtk/gtk.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>

using namespace qm;
using namespace qm::ui;
using qm::test::press;
using qm::test::pump;
using qm::test::screenshot;
using qm::test::send;

namespace {

struct FakeSave : stages::SaveHandOver {
    wxWindow* window = nullptr;
    std::vector<std::string> calls; // "current|<folder>|<file>|<preview>" or "all|<folder>|<shown>"
    void saveCurrent() override {
        const auto& s = session();
        EXPECT_TRUE(s.saveCurrentOnly);
        calls.push_back("current|" + s.currentSaveFolder.string() + "|" + std::to_string(s.previewFileNumber) + "|" +
                        std::to_string(s.selectedPreview));
    }
    void saveAll() override {
        EXPECT_FALSE(session().saveCurrentOnly);
        calls.push_back("all|" + session().saveAllFolder.string() + "|" + (window->IsShown() ? "shown" : "hidden"));
    }
};

// Writes the pages a test gives it as the current file's Preview 1 and 2.
struct PageEngine : stages::AnalysisEngine {
    fs::path folder;
    std::string page1, page2;
    void SalvageDocFile() override {
        auto& s = session();
        s.previewDocPath[1] = folder / "p1.html";
        s.previewDocPath[2] = folder / "p2.html";
        test::writeText(s.previewDocPath[1], page1);
        test::writeText(s.previewDocPath[2], page2);
    }
    void SalvageDocxFile() override {}
};

// The first analysis works until the user stops it; later ones make four candidates at once.
// Counts the analyses running at the same time.
struct SlowEngine : stages::AnalysisEngine {
    fs::path folder;
    std::atomic<int> active{0}, mostActive{0}, runs{0};
    void SalvageDocFile() override {
        mostActive = std::max(mostActive.load(), ++active);
        if (runs++ == 0) {
            while (!session().analysisStopped)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        } else {
            for (int k = 1; k <= 4; ++k) {
                session().previewDocPath[k] = folder / ("c" + std::to_string(k) + ".html");
                test::writeText(session().previewDocPath[k], "<html><body>candidate</body></html>");
            }
        }
        --active;
    }
    void SalvageDocxFile() override {}
};

// A listener on a free local port: whether anything connected to it.
struct Listener {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    int port = 0;
    Listener() {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t n = sizeof a;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&a), n) == 0 && ::listen(fd, 8) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n) == 0)
            port = ntohs(a.sin_port);
    }
    ~Listener() { ::close(fd); }
    bool connected() const {
        const int c = ::accept(fd, nullptr, nullptr);
        if (c >= 0)
            ::close(c);
        return c >= 0;
    }
};

class PreviewWindowTest : public test::IsolatedTest {
protected:
    void SetUp() override {
        if (test::noWindowDisplay())
            GTEST_SKIP() << "no display";
        test::useTestLogAndSkin(dir_.path());
        fs::create_directories(dir_ / "tmp");
        auto& s = session();
        s.installFolder = test::binDir(); // placeholder pages, document server, stopvane
        s.skipPreview = false;
        s.advanceRepair = true;
        s.analysisStopped = false;
        s.selectedPreview = 0;
        s.previewDocPath = {};
        s.previewDocxPath = {};
    }
    void TearDown() override {
        if (!test::windowDisplay())
            return;
        if (window_)
            window_->Destroy();
        pump(50);
        session().clearPreviewFiles();
    }
    void setFiles(const std::vector<fs::path>& files) {
        auto& s = session();
        s.sourceFiles.clear();
        for (const auto& f : files)
            s.sourceFiles.push_back(f.string());
        s.fileCount = static_cast<int>(files.size());
    }
    // Opens the window and waits for the analysis of file 1 and its automatic Preview 1;
    // whileAnalysing starts on the first analysis.
    void open(stages::AnalysisEngine& engine, std::function<void()> whileAnalysing = {}) {
        window_ = new ui::CPreview(engine, save_);
        save_.window = window_;
        wxTimer timer;
        if (whileAnalysing) {
            timer.Bind(wxEVT_TIMER, [&](wxTimerEvent&) { whileAnalysing(); });
            timer.StartOnce(1000);
        }
        window_->Show();
        waitForAnalysis(1);
    }
    void waitForAnalysis(int n) {
        for (int i = 0; i < 600 && !(window_->analyses() == n && window_->FindWindow(id::kBack)->IsEnabled()); ++i)
            pump(50);
        ASSERT_TRUE(window_->FindWindow(id::kBack)->IsEnabled()) << "analysis " << n << " ended";
        waitForPage();
    }
    // Waits until the web view has loaded the page the window asked for.
    void waitForPage() {
        auto* view = window_->browser().view();
        for (int i = 0; i < 200; ++i) {
            pump(50);
            if (!view->IsBusy() && PathOfUri(view->GetCurrentURL().utf8_string()) == window_->browser().page())
                break;
        }
        EXPECT_EQ(PathOfUri(view->GetCurrentURL().utf8_string()), window_->browser().page());
        pump(300);
    }
    std::string script(const std::string& code) {
        wxString out;
        window_->browser().view()->RunScript(wxString::FromUTF8(code), &out);
        return out.utf8_string();
    }
    fs::path sample(const std::string& name, const std::string& as) {
        const fs::path from = fs::path(QM_TEST_BIN_DIR).parent_path() / "samples" / name;
        if (!fs::exists(from))
            return {};
        fs::copy_file(from, dir_ / as);
        return dir_ / as;
    }

    FakeSave save_;
    ui::CPreview* window_ = nullptr;
    DialogueScript boxes_;
};

// The shipped samples through the real engine: the four previews of the damaged .doc (its
// path with blanks, "#", "%" and non-ASCII letters), then the .docx gallery after Next Document.
TEST_F(PreviewWindowTest, DamagedSamplesThroughTheRealEngine) {
    const fs::path doc = sample("Damaged Report.doc", "Dämaged #1 100% Report.doc");
    const fs::path docx = sample("Damaged Letter.docx", "Letter ü.docx");
    if (doc.empty() || docx.empty())
        GTEST_SKIP() << "samples not built";
    setFiles({doc, docx});
    const auto engine = stages::makeAnalysisEngine();
    open(*engine);
    EXPECT_TRUE(boxes_.messages.empty()) << "the analysis dialog closed by itself";
    const auto docPreviews = session().previewDocPath;
    ASSERT_EQ(window_->browser().page(), docPreviews[1]);
    std::string text; // the document may still be parsed when the address has changed
    for (int i = 0; i < 100 && text.find("Quarterly") == std::string::npos; ++i, pump(50))
        text = script("document.body.innerText");
    EXPECT_NE(text.find("Quarterly"), std::string::npos) << text;
    for (int k = 1; k <= 4; ++k) {
        send(window_, wxEVT_BUTTON, id::kPreview1 + k - 1);
        waitForPage();
        const bool made = !docPreviews[k].empty();
        EXPECT_EQ(window_->browser().page(), made ? docPreviews[k] : session().installFolder / "Preview.mht") << k;
        screenshot("step2-preview-" + std::to_string(k), 0);
    }
    EXPECT_EQ(window_->browser().refusals(), 0) << window_->browser().lastRefused();

    send(window_, wxEVT_BUTTON, id::kNextDocument);
    waitForAnalysis(2);
    for (int k = 1; k <= 4; ++k)
        EXPECT_FALSE(fs::exists(docPreviews[k])) << "preview " << k << " of the previous file is deleted";
    EXPECT_FALSE(window_->FindWindow(id::kPreview1 + 2)->IsEnabled());
    send(window_, wxEVT_BUTTON, id::kPreview1 + 1);
    waitForPage();
    EXPECT_EQ(window_->browser().page(), session().previewDocxPath[2]);
    std::string shown;
    for (int i = 0; i < 100 && shown != "true"; ++i, pump(50))
        shown = script("String(document.images.length > 0 && document.images[0].naturalWidth > 0)");
    EXPECT_EQ(shown, "true") << "the gallery shows its pictures";
    screenshot("step2-preview-docx-gallery", 0);
}

// Pages made from hostile files: no script runs, nothing is fetched from the network,
// navigation elsewhere and new windows are refused, and the page stays.
TEST_F(PreviewWindowTest, HostilePagesStayInTheirPage) {
    Listener net;
    ASSERT_NE(net.port, 0);
    const std::string http = "http://127.0.0.1:" + std::to_string(net.port) + "/";
    PageEngine engine;
    engine.folder = dir_ / "tmp";
    engine.page1 = "<html><head><meta http-equiv='refresh' content='0; url=" + http +
                   "'><link rel='stylesheet' href='" + http + "s.css'>"
                   "<script>document.title = 'script ran';</script></head>"
                   "<body onload=\"document.title = 'handler ran'\"><p>hostile</p><img src='" + http + "a.png'>"
                   "<iframe src='file:///etc/hostname'></iframe>"
                   "<a id='w' href='p2.html' target='_blank'>new window</a></body></html>";
    engine.page2 = "<html><body><p>two</p></body></html>";
    test::writeText(dir_ / "a.doc", "a");
    setFiles({dir_ / "a.doc"});
    open(engine);
    pump(1500);
    const fs::path page = dir_ / "tmp" / "p1.html";
    EXPECT_TRUE(window_->browser().filtered());
    EXPECT_EQ(PathOfUri(window_->browser().view()->GetCurrentURL().utf8_string()), page);
    EXPECT_EQ(window_->browser().view()->GetCurrentTitle(), "") << "no script of the page ran";
    EXPECT_GE(window_->browser().refusals(), 2) << "the refresh and the frame";
    EXPECT_FALSE(net.connected()) << "nothing was fetched";

    const int before = window_->browser().refusals();
    GList* windows = gtk_window_list_toplevels();
    const guint toplevels = g_list_length(windows);
    g_list_free(windows);
    script("document.getElementById('w').click(); window.open('" + http + "'); 'done'");
    pump(1000);
    EXPECT_GT(window_->browser().refusals(), before) << "the new window is refused";
    windows = gtk_window_list_toplevels();
    EXPECT_EQ(g_list_length(windows), toplevels) << "no window opened";
    g_list_free(windows);
    EXPECT_EQ(PathOfUri(window_->browser().view()->GetCurrentURL().utf8_string()), page);
    EXPECT_FALSE(net.connected());
}

// Stop during the analysis: every preview button shows the placeholder until the file
// changes; the next file's analysis starts only after the stopped one has ended.
TEST_F(PreviewWindowTest, StopShowsThePlaceholderUntilTheFileChanges) {
    SlowEngine engine;
    engine.folder = dir_ / "tmp";
    test::writeText(dir_ / "a.doc", "a");
    test::writeText(dir_ / "b.doc", "b");
    setFiles({dir_ / "a.doc", dir_ / "b.doc"});
    std::chrono::steady_clock::time_point stoppedAt;
    open(engine, [&] {
        CProgressBar* dialog = nullptr; // by its class: the id 1010 is also Preview4's
        for (auto* w : wxTopLevelWindows)
            if (auto* bar = dynamic_cast<CProgressBar*>(w))
                dialog = bar;
        ASSERT_NE(dialog, nullptr) << "the analysis dialog is up";
        screenshot("step2-analysis-over-preview", 0);
        boxes_.answers = {true};
        stoppedAt = std::chrono::steady_clock::now();
        send(dialog, wxEVT_BUTTON, id::kAnalysisStop);
    });
    EXPECT_LT(std::chrono::steady_clock::now() - stoppedAt, std::chrono::seconds(5));
    EXPECT_TRUE(session().analysisStopped);
    const fs::path placeholder = session().installFolder / "Preview.mht";
    for (int k = 1; k <= 4; ++k) {
        send(window_, wxEVT_BUTTON, id::kPreview1 + k - 1);
        EXPECT_EQ(window_->browser().page(), placeholder) << k;
    }
    waitForPage();

    send(window_, wxEVT_BUTTON, id::kNextDocument);
    waitForAnalysis(2);
    EXPECT_FALSE(session().analysisStopped);
    send(window_, wxEVT_BUTTON, id::kPreview1 + 2);
    EXPECT_EQ(window_->browser().page(), session().previewDocPath[3]);
    EXPECT_EQ(engine.mostActive, 1) << "never two analyses at once";
    EXPECT_EQ(boxes_.texts(), std::vector<std::string>{"Do you want to Stop the analysis process "});
}

// Save Current Preview and Save All hand over with the session set; Back empties the list.
TEST_F(PreviewWindowTest, SaveHandOverAndBack) {
    PageEngine engine;
    engine.folder = dir_ / "tmp";
    engine.page1 = engine.page2 = "<html><body>x</body></html>";
    test::writeText(dir_ / "a.doc", "a");
    test::writeText(dir_ / "b.doc", "b");
    setFiles({dir_ / "a.doc", dir_ / "b.doc"});
    session().advanceRepair = false; // nothing shown by itself: no preview selected yet
    open(engine);
    fs::create_directories(dir_ / "out put");
    std::vector<std::optional<fs::path>> picks = {dir_ / "out put", dir_ / "missing", std::nullopt, dir_ / "out put"};
    window_->pickFolder = [&] {
        auto p = picks.front();
        picks.erase(picks.begin());
        return p;
    };
    send(window_, wxEVT_BUTTON, id::kSaveCurrent); // no preview shown yet: nothing at all
    EXPECT_EQ(picks.size(), 4u);
    send(window_, wxEVT_BUTTON, id::kPreview1 + 2); // Preview 3 was not made
    send(window_, wxEVT_MENU, id::kMenuSaveCurrent);
    send(window_, wxEVT_BUTTON, id::kPreview1 + 1);
    send(window_, wxEVT_BUTTON, id::kSaveCurrent);
    send(window_, wxEVT_BUTTON, id::kSaveCurrent); // "missing" is no folder
    send(window_, wxEVT_BUTTON, id::kSaveAll);     // cancelled
    EXPECT_TRUE(fs::exists(session().previewDocPath[2])) << "Save Current Preview keeps the previews";
    send(window_, wxEVT_MENU, id::kMenuSaveAll);
    EXPECT_FALSE(fs::exists(session().previewDocPath[2])) << "Save All deletes them";
    EXPECT_TRUE(window_->IsShown()) << "back after a Save All that returned";
    EXPECT_EQ(save_.calls, (std::vector<std::string>{"current|" + (dir_ / "out put").string() + "|1|2",
                                                     "all|" + (dir_ / "out put").string() + "|hidden"}));

    boxes_.answers = {false, true};
    send(window_, wxEVT_BUTTON, id::kBack);
    EXPECT_EQ(session().fileCount, 2);
    EXPECT_FALSE(session().sourceFiles.empty()) << "No keeps the window";
    send(window_, wxEVT_BUTTON, id::kBack);
    EXPECT_TRUE(session().sourceFiles.empty());
    EXPECT_FALSE(window_->IsShown());
    EXPECT_EQ(boxes_.texts(), (std::vector<std::string>{"Preview not found, select another Preview for saving",
                                                        "Saving path doesn't exist, select another path for saving ",
                                                        "Do you want to go to previous step ?",
                                                        "Do you want to go to previous step ?"}));
}

// The exits of the preview window end the process with code 0 and an empty temporary folder;
// each runs in a child copy of this program (PreviewChild below).
TEST_F(PreviewWindowTest, ExitsLeaveTheTemporaryFolderEmpty) {
    const fs::path tmp = dir_ / "tmp";
    const struct {
        const char* mode;
        int status;
        const char* question;
    } cases[] = {
        {"escape-yes", 0, "Do you want to exit ? "},
        {"exit-yes", 0, "Do you want to exit?"},
        {"close-yes", 0, "Do you want to exit?"},
        {"escape-no", 3 << 8, "Do you want to exit ? "},
    };
    for (const auto& c : cases) {
        fs::create_directories(tmp / "pkg" / "word" / "media");
        test::writeText(tmp / "p1.html", "x");
        test::writeText(tmp / "pkg" / "word" / "media" / "image1.png", "x");
        fs::remove(dir_ / "boxes.txt");
        int status = 0;
        test::runCommand("QM_PREVIEW_EXIT=" + std::string(c.mode) + " QM_PREVIEW_DIR='" + tmp.string() +
                             "' QM_PREVIEW_BOXES='" + (dir_ / "boxes.txt").string() + "' " +
                             fs::read_symlink("/proc/self/exe").string() +
                             " --gtest_filter=PreviewChild.OneExit >/dev/null 2>&1",
                         status);
        EXPECT_EQ(status, c.status) << c.mode;
        EXPECT_EQ(test::readText(dir_ / "boxes.txt"), std::string("Tessary for Word|") + c.question + "\n") << c.mode;
        if (c.status == 0) {
            EXPECT_TRUE(fs::is_empty(tmp)) << c.mode;
        }
    }
}

TEST(PreviewChild, OneExit) {
    const char* mode = std::getenv("QM_PREVIEW_EXIT");
    if (!mode || !test::windowDisplay())
        GTEST_SKIP() << "run by ExitsLeaveTheTemporaryFolderEmpty";
    const fs::path tmp = std::getenv("QM_PREVIEW_DIR");
    auto& s = session();
    s.installFolder = test::binDir();
    s.previewDocPath[1] = tmp / "p1.html";
    s.docxWorkFolder = tmp / "pkg";
    s.sourceFiles = {(tmp / "a.doc").string()};
    s.fileCount = 1;
    s.skipPreview = true; // no analysis
    PageEngine engine;
    FakeSave save;
    DialogueScript boxes(std::getenv("QM_PREVIEW_BOXES")); // written before the process may end
    const std::string m = mode;
    boxes.answers = {m.find("-yes") != std::string::npos};
    auto* window = new ui::CPreview(engine, save);
    if (m.rfind("escape", 0) == 0)
        press(window, WXK_ESCAPE);
    else if (m == "exit-yes")
        send(window, wxEVT_MENU, id::kMenuExit);
    else
        window->Close();
    std::_Exit(3);
}

} // namespace
