// The About box, opened from the Help menu, with its texts and links; OK and Escape close it.
#include "tests/ui/display/display_support.h"

#include "ui/about_dialog.h"
#include "ui/url_link_button.h"
#include "ui/window_ids.h"

#include <wx/button.h>
#include <wx/menu.h>
#include <wx/statbmp.h>
#include <wx/stattext.h>
#include <wx/timer.h>

#include <set>

namespace qm::ui {
namespace {

using test::RunFor;

using AboutBoxTest = test::DisplayTest;

TEST_F(AboutBoxTest, OpensFromTheHelpMenuShowsItsTextsAndClosesWithOkAndEscape) {
    UseBuiltSkins();
    auto* frame = new wxFrame(nullptr, wxID_ANY, "main", wxPoint(0, 0), wxSize(500, 400));
    auto* help = new wxMenu;
    AddAboutItem(help, frame);
    auto* bar = new wxMenuBar;
    bar->Append(help, "&Help");
    frame->SetMenuBar(bar);
    frame->Show();
    RunFor(200);
    EXPECT_NE(bar->FindItem(id::kMenuAbout), nullptr);

    for (const char* closeWith : {"ok", "escape"}) {
        SCOPED_TRACE(closeWith);
        bool seen = false;
        wxTimer inspect;
        inspect.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
            auto* about = dynamic_cast<CAboutDlg*>(wxWindow::FindWindowById(id::kAboutDialog));
            if (!about)
                return;
            seen = true;
            EXPECT_TRUE(about->IsModal());
            EXPECT_EQ(about->GetTitle(), "About Tessary for Word");
            std::set<std::string> texts;
            bool icon = false;
            for (wxWindow* child : about->GetChildren()) {
                if (dynamic_cast<wxStaticText*>(child))
                    texts.insert(child->GetLabel().utf8_string());
                icon |= dynamic_cast<wxStaticBitmap*>(child) != nullptr;
            }
            EXPECT_EQ(texts, (std::set<std::string>{"Tessary for Word v.1.0", "Websites :", "Sales       :", "Support   :"}));
            EXPECT_TRUE(icon);
            for (int link : {id::kAboutWebLink, id::kAboutSalesLink, id::kAboutSupportLink}) {
                auto* button = dynamic_cast<CURLLinkButton*>(about->FindWindow(link));
                ASSERT_NE(button, nullptr) << link;
                EXPECT_TRUE(button->IsShown() && button->IsEnabled()) << link;
                EXPECT_TRUE(button->GetLabel().StartsWith("https://")) << link;
            }
            auto* hidden = about->FindWindow(id::kAboutHiddenLink);
            ASSERT_NE(hidden, nullptr);
            EXPECT_FALSE(hidden->IsShown());
            EXPECT_FALSE(hidden->IsEnabled());
            auto* ok = dynamic_cast<wxButton*>(about->FindWindow(id::kAboutOk));
            ASSERT_NE(ok, nullptr);
            EXPECT_EQ(ok->GetLabel(), "OK");
            test::Screenshot(closeWith);

            if (std::string(closeWith) == "ok") {
                wxCommandEvent click(wxEVT_BUTTON, id::kAboutOk);
                click.SetEventObject(ok);
                ok->ProcessWindowEvent(click);
            } else {
                wxKeyEvent escape(wxEVT_CHAR_HOOK);
                escape.m_keyCode = WXK_ESCAPE;
                escape.SetEventObject(about);
                about->ProcessWindowEvent(escape);
            }
        });
        inspect.StartOnce(500);
        wxCommandEvent menu(wxEVT_MENU, id::kMenuAbout);
        frame->ProcessWindowEvent(menu); // returns when the About box has closed
        EXPECT_TRUE(seen);
        RunFor(100);
        EXPECT_EQ(wxWindow::FindWindowById(id::kAboutDialog), nullptr);
    }
}

} // namespace
} // namespace qm::ui
