// A link drawn as text on the skin: bold and underlined, in the normal, hover, visited
// (RGB(128, 0, 128), kept for the window's life) or disabled colour, with the hand cursor. A
// click or Enter opens its address with the desktop's default browser; Space does nothing.
#pragma once

#include "ui/link_state.h"

#include <wx/control.h>

#include <functional>
#include <string>

namespace qm::ui {

// Opens an address. The default one starts the desktop's default browser; tests put their own.
using LinkOpener = std::function<void(const std::string& address)>;
// Installs `opener` for every link button (an empty one restores the default) and returns the
// one installed before.
LinkOpener SetLinkOpener(LinkOpener opener);

inline const wxColour kVisitedLinkColour(128, 0, 128);

class CURLLinkButton : public wxControl {
public:
    // The label is the address that is opened.
    CURLLinkButton(wxWindow* parent, wxWindowID id, const wxString& address, const wxPoint& pos = wxDefaultPosition,
                   const wxSize& size = wxDefaultSize);

    void SetLabel(const wxString& label) override;
    wxString GetLabel() const override { return address_; }

    // Opens the address when enabled; from then on the link is drawn as visited.
    void FollowLink();
    bool Visited() const { return state_.visited(); }
    // The colour the caption is drawn in now.
    wxColour CaptionColour() const;

    bool AcceptsFocus() const override { return IsEnabled() && IsShown(); }
    bool HasTransparentBackground() override { return true; }

protected:
    wxSize DoGetBestSize() const override;
    void DoEnable(bool enable) override;

private:
    void OnPaint(wxPaintEvent&);
    void OnKeyDown(wxKeyEvent&);
    void OnKeyUp(wxKeyEvent&);
    void OnLeftDown(wxMouseEvent&);
    void OnLeftUp(wxMouseEvent&);
    const wxFont& LinkFont() const;

    wxString address_;
    LinkState state_;
    wxColour normal_, hover_, disabled_;
    mutable wxFont linkFont_;
    bool pressed_ = false;
};

} // namespace qm::ui
