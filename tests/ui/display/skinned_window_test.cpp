// The skinned frame on screen: the skin behind labels and buttons, edit boxes left white, a
// missing or broken skin giving the plain background and no message, F1 swallowed.
#include "tests/ui/display/display_support.h"

#include "app/session_state.h"
#include "ui/skinned_window.h"

#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

namespace qm::ui {
namespace {

using test::RunFor;

using test::DisplayTest;

const wxColour kSkinColour(37, 201, 88);

class TestDialog : public SkinnedDialog {
public:
    explicit TestDialog(bool swallowHelp = true) {
        CreateSkinned(nullptr, wxID_ANY, session().appTitle, 200, 90, wxDEFAULT_DIALOG_STYLE, {kPanelSkin, swallowHelp});
        label = new wxStaticText(this, wxID_ANY, "Select File(s)      :", DluAt(8, 8));
        check = new wxCheckBox(this, wxID_ANY, "Skip Preview", DluAt(8, 28));
        button = new wxButton(this, wxID_ANY, "Browse", DluAt(8, 50), Dlu(60, 16));
        SkinThroughButton(button);
        edit = new wxTextCtrl(this, wxID_ANY, "", DluAt(100, 8), Dlu(90, 14));
        Move(40, 40);
    }
    wxStaticText* label;
    wxCheckBox* check;
    wxButton* button;
    wxTextCtrl* edit;
};

class SkinnedWindowTest : public DisplayTest {
protected:
    // Shows a test dialog and takes a screenshot once it is painted.
    TestDialog* ShowDialog(const std::string& tag, wxImage& screen) {
        auto* dialog = new TestDialog;
        dialog->Show();
        RunFor(400);
        screen = test::Screenshot(tag);
        return dialog;
    }
};

TEST_F(SkinnedWindowTest, SkinShowsBehindLabelsAndButtonsNotEditBoxes) {
    WriteSolidSkin(kPanelSkin, 1000, 700, kSkinColour);
    wxImage screen;
    auto* dialog = ShowDialog("solid-skin", screen);
    EXPECT_EQ(dialog->GetTitle(), "Tessary for Word");
    EXPECT_TRUE(dialog->GetIcons().GetIconCount() > 0);

    // The client area and, around their text, the label, the check box and the face of the
    // push button (inside its border) are the skin.
    EXPECT_EQ(test::PixelAt(screen, dialog->ClientToScreen(wxPoint(3, 3))), kSkinColour);
    EXPECT_GT(test::ShareOf(screen, dialog->label->GetScreenRect(), kSkinColour), 0.5);
    EXPECT_GT(test::ShareOf(screen, dialog->check->GetScreenRect(), kSkinColour), 0.4);
    EXPECT_GT(test::ShareOf(screen, dialog->button->GetScreenRect().Deflate(4), kSkinColour), 0.5);
    EXPECT_LT(test::ShareOf(screen, dialog->edit->GetScreenRect(), kSkinColour), 0.05);
    EXPECT_TRUE(loggedMessages().empty());
}

TEST_F(SkinnedWindowTest, SkinSmallerThanTheWindowLeavesTheRestPlain) {
    WriteSolidSkin(kPanelSkin, 50, 30, kSkinColour);
    wxImage screen;
    auto* dialog = ShowDialog("small-skin", screen);
    EXPECT_EQ(test::PixelAt(screen, dialog->ClientToScreen(wxPoint(49, 2))), kSkinColour);
    EXPECT_EQ(test::PixelAt(screen, dialog->ClientToScreen(wxPoint(2, 29))), kSkinColour);
    EXPECT_EQ(test::PixelAt(screen, dialog->ClientToScreen(wxPoint(50, 2))), dialog->GetBackgroundColour());
    EXPECT_EQ(test::PixelAt(screen, dialog->ClientToScreen(wxPoint(2, 30))), dialog->GetBackgroundColour());
}

TEST_F(SkinnedWindowTest, MissingOrBrokenSkinGivesPlainBackgroundAndNoOtherWindow) {
    const struct {
        const char* name;
        std::string bytes; // nothing written when empty
    } cases[] = {
        {"missing", ""},
        {"not-a-bitmap", "PK\3\4 this is no bitmap at all, just some bytes"},
        {"broken-bitmap", std::string("BM\0\0\0\0\0\0\0\0\x36\0\0\0\x28\0\0\0\x40\0\0\0\x40\0\0\0\1\0\x18\0", 30) + "short"},
        {"huge-bitmap", std::string("BM\0\0\0\0\0\0\0\0\x36\0\0\0\x28\0\0\0\0\0\1\0\0\0\1\0\1\0\x18\0", 30)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(skinFolder() / kPanelSkin);
        if (!c.bytes.empty())
            test::writeText(skinFolder() / kPanelSkin, c.bytes);
        wxImage screen;
        auto* dialog = ShowDialog(c.name, screen);
        EXPECT_FALSE(dialog->skinBitmap().IsOk());
        EXPECT_EQ(wxTopLevelWindows.GetCount(), 1u) << "no message box or other window";
        EXPECT_TRUE(loggedMessages().empty());
        EXPECT_EQ(test::PixelAt(screen, dialog->ClientToScreen(wxPoint(3, 3))), dialog->GetBackgroundColour());
        dialog->Destroy();
        RunFor(100);
    }
}

TEST_F(SkinnedWindowTest, F1IsSwallowedWhereAsked) {
    for (bool swallow : {true, false}) {
        auto* dialog = new TestDialog(swallow);
        for (int key : {WXK_F1, WXK_F2}) {
            wxKeyEvent event(wxEVT_CHAR_HOOK);
            event.m_keyCode = key;
            event.SetEventObject(dialog);
            EXPECT_EQ(dialog->ProcessWindowEvent(event), swallow && key == WXK_F1) << swallow << " " << key;
        }
        dialog->Destroy();
    }
}

} // namespace
} // namespace qm::ui
