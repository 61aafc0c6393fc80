#include "ui/url_link_button.h"

#include "ui/label_text.h"
#include "ui/skin.h"

#include <wx/dcbuffer.h>
#include <wx/log.h>
#include <wx/settings.h>
#include <wx/utils.h>

namespace qm::ui {

namespace {

void OpenWithBrowser(const std::string& address) {
    wxLogNull quiet; // a desktop without a browser shows no message box
    wxLaunchDefaultBrowser(wxString::FromUTF8(address), wxBROWSER_NOBUSYCURSOR);
}

LinkOpener& Opener() {
    static LinkOpener opener = OpenWithBrowser;
    return opener;
}

LinkKey KeyOf(const wxKeyEvent& event) {
    switch (event.GetKeyCode()) {
    case WXK_SPACE:
        return LinkKey::Space;
    case WXK_RETURN:
    case WXK_NUMPAD_ENTER:
        return LinkKey::Enter;
    default:
        return LinkKey::Other;
    }
}

} // namespace

LinkOpener SetLinkOpener(LinkOpener opener) {
    LinkOpener previous = std::move(Opener());
    Opener() = opener ? std::move(opener) : LinkOpener(OpenWithBrowser);
    return previous;
}

CURLLinkButton::CURLLinkButton(wxWindow* parent, wxWindowID id, const wxString& address, const wxPoint& pos,
                               const wxSize& size)
    : wxControl(parent, id, pos, size, wxBORDER_NONE | wxWANTS_CHARS), address_(address),
      normal_(wxSystemSettings::GetColour(wxSYS_COLOUR_HIGHLIGHT)),
      hover_(wxSystemSettings::GetColour(wxSYS_COLOUR_HOTLIGHT)),
      disabled_(wxSystemSettings::GetColour(wxSYS_COLOUR_GRAYTEXT)) {
    SetBackgroundStyle(wxBG_STYLE_PAINT);
    SetCursor(wxCursor(wxCURSOR_HAND));
    Bind(wxEVT_PAINT, &CURLLinkButton::OnPaint, this);
    Bind(wxEVT_KEY_DOWN, &CURLLinkButton::OnKeyDown, this);
    Bind(wxEVT_KEY_UP, &CURLLinkButton::OnKeyUp, this);
    Bind(wxEVT_LEFT_DOWN, &CURLLinkButton::OnLeftDown, this);
    Bind(wxEVT_LEFT_DCLICK, &CURLLinkButton::OnLeftDown, this);
    Bind(wxEVT_LEFT_UP, &CURLLinkButton::OnLeftUp, this);
    Bind(wxEVT_MOUSE_CAPTURE_LOST, [this](wxMouseCaptureLostEvent&) { pressed_ = false; });
    Bind(wxEVT_ENTER_WINDOW, [this](wxMouseEvent& e) { state_.mouseEnter(); Refresh(); e.Skip(); });
    Bind(wxEVT_LEAVE_WINDOW, [this](wxMouseEvent& e) { state_.mouseLeave(); Refresh(); e.Skip(); });
    Bind(wxEVT_KILL_FOCUS, [this](wxFocusEvent& e) { state_.focusLost(); Refresh(); e.Skip(); });
    if (size == wxDefaultSize)
        SetInitialSize(DoGetBestSize());
}

void CURLLinkButton::SetLabel(const wxString& label) {
    address_ = label;
    Refresh();
}

void CURLLinkButton::FollowLink() {
    if (!state_.follow(IsEnabled()))
        return;
    {
        wxBusyCursor wait;
        Opener()(address_.utf8_string());
    }
    Refresh();
}

wxColour CURLLinkButton::CaptionColour() const {
    switch (state_.colour(IsEnabled())) {
    case LinkColour::Hover:
        return hover_;
    case LinkColour::Visited:
        return kVisitedLinkColour;
    case LinkColour::Disabled:
        return disabled_;
    case LinkColour::Normal:
        break;
    }
    return normal_;
}

const wxFont& CURLLinkButton::LinkFont() const {
    if (!linkFont_.IsOk()) {
        linkFont_ = GetFont();
        linkFont_.SetPixelSize(wxSize(0, 14));
        linkFont_.SetNumericWeight(800);
        linkFont_.SetUnderlined(true);
    }
    return linkFont_;
}

wxSize CURLLinkButton::DoGetBestSize() const {
    wxClientDC dc(const_cast<CURLLinkButton*>(this));
    dc.SetFont(LinkFont());
    return dc.GetTextExtent(address_.empty() ? wxString("M") : address_);
}

void CURLLinkButton::DoEnable(bool enable) {
    wxControl::DoEnable(enable);
    Refresh();
}

void CURLLinkButton::OnPaint(wxPaintEvent&) {
    wxAutoBufferedPaintDC dc(this);
    PaintBackgroundBehind(dc, this);
    dc.SetFont(IsEnabled() ? LinkFont() : GetFont());
    dc.SetTextForeground(CaptionColour());
    dc.SetBackgroundMode(wxBRUSHSTYLE_TRANSPARENT);
    dc.DrawText(wxString::FromUTF8(DisplayText(address_.utf8_string())), 0, 0);
}

void CURLLinkButton::OnKeyDown(wxKeyEvent& event) {
    if (!state_.keyDown(KeyOf(event)).swallow)
        event.Skip();
}

void CURLLinkButton::OnKeyUp(wxKeyEvent& event) {
    const LinkKeyResult result = state_.keyUp(KeyOf(event));
    if (result.follow)
        FollowLink();
    if (!result.swallow)
        event.Skip();
}

void CURLLinkButton::OnLeftDown(wxMouseEvent&) {
    if (!IsEnabled())
        return;
    SetFocus();
    pressed_ = true;
    if (!HasCapture())
        CaptureMouse();
}

void CURLLinkButton::OnLeftUp(wxMouseEvent& event) {
    if (HasCapture())
        ReleaseMouse();
    const bool click = pressed_ && GetClientRect().Contains(event.GetPosition());
    pressed_ = false;
    if (click)
        FollowLink();
}

} // namespace qm::ui
