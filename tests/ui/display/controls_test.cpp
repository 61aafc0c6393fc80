// Labels and link buttons on a skinned dialog, on screen.
#include "tests/ui/display/display_support.h"

#include "app/session_state.h"
#include "ui/skinned_window.h"
#include "ui/transparent_static.h"
#include <wx/settings.h>
#include <wx/uiaction.h>
#include "ui/url_link_button.h"
#include "ui/window_ids.h"

namespace qm::ui {
namespace {

using test::RunFor;

using ControlsTest = test::DisplayTest;

class Dialog : public SkinnedDialog {
public:
    Dialog() {
        CreateSkinned(nullptr, wxID_ANY, session().appTitle, 260, 120, wxDEFAULT_DIALOG_STYLE, {kPanelSkin, true});
        Move(30, 30);
    }
    using SkinnedDialog::Dlu;
    using SkinnedDialog::DluAt;
};

TEST_F(ControlsTest, LabelChangedFromLongToShortFiftyTimesLooksFresh) {
    UseBuiltSkins();
    auto* dialog = new Dialog;
    const std::string shortText = "Report.doc";
    const std::string longText = "/home/somebody/Documents/a much longer earlier file name, Quarterly Report.docx";
    const wxSize size = dialog->Dlu(120, 10);
    auto* fresh2 = new CTransparentStatic2(dialog, wxID_ANY, shortText, dialog->DluAt(4, 20), size);
    auto* changed2 = new CTransparentStatic2(dialog, wxID_ANY, longText, dialog->DluAt(130, 20), size);
    auto* fresh = new CTransparentStatic(dialog, wxID_ANY, shortText, dialog->DluAt(4, 50), size);
    auto* changed = new CTransparentStatic(dialog, wxID_ANY, longText, dialog->DluAt(130, 50), size);
    dialog->Show();
    RunFor(400);
    for (int i = 0; i < 50; ++i) {
        const std::string longer = longText + " " + std::to_string(i);
        changed2->SetText(longer);
        changed->SetText(longer);
        RunFor(10);
        changed2->SetText(shortText);
        changed->SetText(shortText);
    }
    RunFor(400);
    const wxImage screen = test::Screenshot("labels");
    EXPECT_TRUE(test::SamePixels(screen, fresh2->GetScreenRect(), changed2->GetScreenRect()));
    EXPECT_TRUE(test::SamePixels(screen, fresh->GetScreenRect(), changed->GetScreenRect()));
    EXPECT_EQ(changed2->GetLabel(), shortText);
    // The labels did draw their text.
    EXPECT_GT(test::ShareOf(screen, fresh2->GetScreenRect(), *wxBLACK, 110), 0.01);
    EXPECT_GT(test::ShareOf(screen, fresh->GetScreenRect(), *wxBLACK, 110), 0.01);
}

TEST_F(ControlsTest, LabelShowsFileNameBytesAsTheyAre) {
    auto* dialog = new Dialog;
    auto* label = new CTransparentStatic(dialog, wxID_ANY, "", dialog->DluAt(4, 4), dialog->Dlu(200, 10));
    auto* drawn = new CTransparentStatic2(dialog, wxID_ANY, "", dialog->DluAt(4, 20), dialog->Dlu(200, 10));
    label->SetText("R&D caf\xE9.doc");
    drawn->SetText("R&D caf\xE9.doc");
    EXPECT_EQ(label->GetLabelText(), wxString::FromUTF8("R&D caf\xEF\xBF\xBD.doc"));
    EXPECT_EQ(drawn->GetLabel(), wxString::FromUTF8("R&D caf\xEF\xBF\xBD.doc"));
}

class LinkTest : public test::DisplayTest {
protected:
    void SetUp() override {
        DisplayTest::SetUp();
        if (IsSkipped())
            return;
        previous_ = SetLinkOpener([this](const std::string& address) { opened_.push_back(address); });
    }
    void TearDown() override {
        SetLinkOpener(previous_);
        DisplayTest::TearDown();
    }
    static void Key(wxWindow* win, wxEventType type, int code) {
        wxKeyEvent event(type);
        event.m_keyCode = code;
        event.SetEventObject(win);
        win->ProcessWindowEvent(event);
    }
    static void Mouse(wxWindow* win, wxEventType type, wxPoint at) {
        wxMouseEvent event(type);
        event.SetPosition(at);
        event.SetEventObject(win);
        win->ProcessWindowEvent(event);
    }
    std::vector<std::string> opened_;
    LinkOpener previous_;
};

TEST_F(LinkTest, OpensOnClickAndEnterNeverOnSpaceAndStaysVisited) {
    UseBuiltSkins();
    auto* dialog = new Dialog;
    const std::string address = "https://www.quillmend.example/support";
    auto* link = new CURLLinkButton(dialog, id::kAboutSupportLink, address, dialog->DluAt(10, 10));
    auto* other = new CURLLinkButton(dialog, wxID_ANY, "https://www.quillmend.example/", dialog->DluAt(10, 40));
    dialog->Show();
    RunFor(300);
    link->SetFocus();

    Key(link, wxEVT_KEY_DOWN, WXK_SPACE);
    Key(link, wxEVT_KEY_UP, WXK_SPACE);
    EXPECT_TRUE(opened_.empty()) << "Space opens nothing";
    EXPECT_FALSE(link->Visited());

    Key(link, wxEVT_KEY_DOWN, WXK_RETURN);
    Key(link, wxEVT_KEY_UP, WXK_RETURN);
    EXPECT_EQ(opened_, std::vector<std::string>{address});

    // A real click through the X server, then the mouse goes away from the link.
    const wxPoint centre = link->GetScreenRect().GetPosition() + link->GetSize() / 2;
    wxUIActionSimulator sim;
    sim.MouseMove(centre);
    RunFor(150);
    EXPECT_EQ(link->CaptionColour(), wxSystemSettings::GetColour(wxSYS_COLOUR_HOTLIGHT)) << "hover";
    sim.MouseClick();
    RunFor(150);
    EXPECT_EQ(opened_.size(), 2u);
    sim.MouseMove(dialog->ClientToScreen(wxPoint(5, dialog->GetClientSize().y - 5)));
    other->SetFocus();
    RunFor(300);

    EXPECT_TRUE(link->Visited());
    EXPECT_EQ(link->CaptionColour(), kVisitedLinkColour);
    EXPECT_EQ(other->CaptionColour(), wxSystemSettings::GetColour(wxSYS_COLOUR_HIGHLIGHT));
    const wxImage screen = test::Screenshot("visited");
    EXPECT_GT(test::ShareOf(screen, link->GetScreenRect(), kVisitedLinkColour), 0.03);
    EXPECT_EQ(test::ShareOf(screen, other->GetScreenRect(), kVisitedLinkColour), 0.0);

    // Real keys through the X server to the focused link: Enter opens, Space does not.
    dialog->Raise();
    link->SetFocus();
    RunFor(200);
    if (wxWindow::FindFocus() == link) {
        sim.Char(WXK_SPACE);
        RunFor(150);
        EXPECT_EQ(opened_.size(), 2u) << "Space key";
        sim.Char(WXK_RETURN);
        RunFor(150);
        EXPECT_EQ(opened_.size(), 3u) << "Enter key";
    } else {
        ADD_FAILURE() << "the link did not get the keyboard focus";
    }

    // A press outside that is released over the link is no click; a disabled link opens nothing.
    Mouse(link, wxEVT_LEFT_UP, wxPoint(2, 2));
    link->Disable();
    Mouse(link, wxEVT_LEFT_DOWN, wxPoint(2, 2));
    Mouse(link, wxEVT_LEFT_UP, wxPoint(2, 2));
    Key(link, wxEVT_KEY_DOWN, WXK_RETURN);
    Key(link, wxEVT_KEY_UP, WXK_RETURN);
    EXPECT_EQ(opened_.size(), 3u);
}

} // namespace
} // namespace qm::ui
