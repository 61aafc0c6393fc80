// The skinned frame every dialog and window of the program is built on: the skin bitmap is
// loaded once, painted unscaled at (0, 0) behind the controls, F1 can be swallowed, and the
// icon and the title are set.
//
// Controls go straight onto the window (not onto a wxPanel, which would cover the skin). On
// GTK, labels, check boxes, radio buttons and group boxes draw no background of their own, so
// the skin shows through them; push buttons get a see-through face (SkinThroughButton).
#pragma once

#include "ui/app_icon.h"
#include "ui/skin.h"

#include <wx/dialog.h>
#include <wx/frame.h>

namespace qm::ui {

// Conversions from dialog units (a quarter of the average character width, an eighth of the
// character height of the window's font) to pixels.
wxPoint DluPoint(wxWindow* win, int x, int y);
wxSize DluSize(wxWindow* win, int w, int h);

struct SkinOptions {
    const char* skinFile = kPanelSkin; // inside the session's skin folder
    bool swallowHelp = true;           // F1 and help requests do nothing
};

// The shared part of the frame, for any top-level window.
void InstallSkin(wxTopLevelWindow* win, const wxBitmap& skin, bool swallowHelp);

// Lets a push button show the skin through its face: its own background and the theme's
// gradient are not drawn; border, label and focus stay.
void SkinThroughButton(wxWindow* button);

// Base is wxDialog or wxFrame. Two-phase: construct, then CreateSkinned().
template <class Base>
class SkinnedWindow : public Base, public SkinHost {
public:
    SkinnedWindow() = default;

    // Creates the window with the client size given in dialog units, its title, the
    // application icon and the skin. A missing skin leaves the plain system background.
    bool CreateSkinned(wxWindow* parent, wxWindowID id, const wxString& title, int widthDlu, int heightDlu,
                       long style, const SkinOptions& options) {
        if (!Base::Create(parent, id, title, wxDefaultPosition, wxDefaultSize, style))
            return false;
        skin_ = LoadSkin(options.skinFile);
        Base::SetIcons(AppIcons());
        Base::SetClientSize(DluSize(this, widthDlu, heightDlu));
        InstallSkin(this, skin_, options.swallowHelp);
        return true;
    }

    const wxBitmap& skinBitmap() const override { return skin_; }

protected:
    wxSize Dlu(int w, int h) { return DluSize(this, w, h); }
    wxPoint DluAt(int x, int y) { return DluPoint(this, x, y); }

private:
    wxBitmap skin_;
};

using SkinnedDialog = SkinnedWindow<wxDialog>;
using SkinnedFrame = SkinnedWindow<wxFrame>;

} // namespace qm::ui
