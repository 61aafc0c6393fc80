#include "ui/transparent_static.h"

#include "ui/label_text.h"
#include "ui/skin.h"

#include <wx/dcbuffer.h>
#include <wx/dcmemory.h>

namespace qm::ui {

namespace {
wxString LabelFromBytes(std::string_view bytes) {
    return wxString::FromUTF8(DisplayText(bytes));
}
} // namespace

CTransparentStatic::CTransparentStatic(wxWindow* parent, wxWindowID id, const wxString& label, const wxPoint& pos,
                                       const wxSize& size, long style)
    : wxStaticText(parent, id, label, pos, size, style) {}

void CTransparentStatic::SetLabel(const wxString& label) {
    wxStaticText::SetLabel(label);
    if (wxWindow* parent = GetParent()) {
        parent->RefreshRect(GetRect(), true);
        parent->Update();
    }
}

void CTransparentStatic::SetText(std::string_view bytes) {
    SetLabel(EscapeMnemonics(LabelFromBytes(bytes)));
}

CTransparentStatic2::CTransparentStatic2(wxWindow* parent, wxWindowID id, const wxString& label, const wxPoint& pos,
                                         const wxSize& size)
    : wxControl(parent, id, pos, size, wxBORDER_NONE), text_(label) {
    SetBackgroundStyle(wxBG_STYLE_PAINT);
    Bind(wxEVT_PAINT, &CTransparentStatic2::OnPaint, this);
    if (size == wxDefaultSize)
        SetInitialSize(DoGetBestSize());
}

void CTransparentStatic2::SetLabel(const wxString& label) {
    text_ = label;
    Refresh(true);
    Update();
}

void CTransparentStatic2::SetText(std::string_view bytes) {
    SetLabel(LabelFromBytes(bytes));
}

wxSize CTransparentStatic2::DoGetBestSize() const {
    wxClientDC dc(const_cast<CTransparentStatic2*>(this));
    dc.SetFont(GetFont());
    const wxSize extent = dc.GetTextExtent(text_.empty() ? wxString("M") : text_);
    return extent;
}

void CTransparentStatic2::OnPaint(wxPaintEvent&) {
    const wxSize size = GetClientSize();
    if (size.x <= 0 || size.y <= 0)
        return;
    // The picture of what lies behind is taken once (again only if the label was resized).
    if (!background_.IsOk() || background_.GetSize() != size) {
        background_ = wxBitmap(size);
        wxMemoryDC mem(background_);
        PaintBackgroundBehind(mem, this);
    }
    wxAutoBufferedPaintDC dc(this);
    dc.DrawBitmap(background_, 0, 0, false);
    dc.SetFont(GetFont());
    dc.SetTextForeground(GetForegroundColour());
    dc.SetBackgroundMode(wxBRUSHSTYLE_TRANSPARENT);
    dc.DrawText(text_, 0, 0);
}

} // namespace qm::ui
