// Labels for skinned windows whose text changes while the window is shown (file names,
// counters). A shorter text must leave no trace of a longer earlier one.
#pragma once

#include <wx/bitmap.h>
#include <wx/control.h>
#include <wx/stattext.h>

#include <string_view>

namespace qm::ui {

// A native label: after each text change the parent repaints its skin under the label at
// once, and the label draws its new text on top.
class CTransparentStatic : public wxStaticText {
public:
    CTransparentStatic(wxWindow* parent, wxWindowID id, const wxString& label, const wxPoint& pos = wxDefaultPosition,
                       const wxSize& size = wxDefaultSize, long style = wxST_NO_AUTORESIZE);

    void SetLabel(const wxString& label) override;
    // Shows the bytes as they are (a file name): no mnemonics, invalid UTF-8 as U+FFFD.
    void SetText(std::string_view bytes);
};

// A drawn label: it keeps a picture of the skin behind it, taken when it is first painted,
// and paints that picture and then its text on every change.
class CTransparentStatic2 : public wxControl {
public:
    CTransparentStatic2(wxWindow* parent, wxWindowID id, const wxString& label, const wxPoint& pos = wxDefaultPosition,
                        const wxSize& size = wxDefaultSize);

    void SetLabel(const wxString& label) override;
    wxString GetLabel() const override { return text_; }
    void SetText(std::string_view bytes);

    bool AcceptsFocus() const override { return false; }
    bool HasTransparentBackground() override { return true; }

protected:
    wxSize DoGetBestSize() const override;

private:
    void OnPaint(wxPaintEvent&);

    wxString text_;
    wxBitmap background_;
};

} // namespace qm::ui
