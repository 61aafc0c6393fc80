#include "ui/about_dialog.h"

#include "ui/app_icon.h"
#include "ui/url_link_button.h"
#include "ui/window_ids.h"

#include <wx/button.h>
#include <wx/statbmp.h>
#include <wx/stattext.h>

namespace qm::ui {

namespace {
constexpr const char* kWebAddress = "https://www.quillmend.example/";
constexpr const char* kSalesAddress = "https://www.quillmend.example/buy";
constexpr const char* kSupportAddress = "https://www.quillmend.example/support";
constexpr const char* kNewsAddress = "https://www.quillmend.example/news";
} // namespace

CAboutDlg::CAboutDlg(wxWindow* parent) {
    CreateSkinned(parent, id::kAboutDialog, "About Tessary for Word", 235, 118, wxDEFAULT_DIALOG_STYLE,
                  {kPanelSkin, false});

    new wxStaticBitmap(this, wxID_ANY, AppIconBitmap(32), DluAt(11, 14));
    new wxStaticText(this, wxID_ANY, "Tessary for Word v.1.0", DluAt(48, 14));
    const struct {
        const char* label;
        int id;
        const char* address;
    } rows[] = {{"Websites :", id::kAboutWebLink, kWebAddress},
                {"Sales       :", id::kAboutSalesLink, kSalesAddress},
                {"Support   :", id::kAboutSupportLink, kSupportAddress}};
    int y = 34;
    for (const auto& row : rows) {
        new wxStaticText(this, wxID_ANY, row.label, DluAt(48, y));
        new CURLLinkButton(this, row.id, row.address, DluAt(98, y));
        y += 15;
    }
    auto* hidden = new CURLLinkButton(this, id::kAboutHiddenLink, kNewsAddress, DluAt(98, y));
    hidden->Hide();
    hidden->Disable();

    auto* ok = new wxButton(this, id::kAboutOk, "OK", DluAt(178, 97), Dlu(50, 14));
    SkinThroughButton(ok);
    ok->SetDefault();
    ok->SetFocus();
    SetEscapeId(id::kAboutOk);
    SetAffirmativeId(id::kAboutOk);
    Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { EndDialog(wxID_OK); }, id::kAboutOk);
    CentreOnParent();
}

void ShowAboutBox(wxWindow* parent) {
    CAboutDlg dialog(parent);
    dialog.ShowModal();
}

void AddAboutItem(wxMenu* helpMenu, wxWindow* window) {
    helpMenu->Append(id::kMenuAbout, "About Tessary for Word");
    window->Bind(wxEVT_MENU, [window](wxCommandEvent&) { ShowAboutBox(window); }, id::kMenuAbout);
}

} // namespace qm::ui
