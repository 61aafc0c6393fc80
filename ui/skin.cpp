#include "ui/skin.h"

#include "app/session_state.h"
#include "ui/skin_file.h"

#include <wx/log.h>
#include <wx/region.h>

#include <array>
#include <fstream>

namespace qm::ui {

wxImage LoadSkinImage(const std::filesystem::path& file) {
    std::array<std::byte, 26> header{};
    {
        std::ifstream in(file, std::ios::binary);
        if (!in.read(reinterpret_cast<char*>(header.data()), header.size()))
            return {};
    }
    if (!BmpHeaderSize(header))
        return {};
    wxLogNull quiet;
    wxImage image;
    if (!image.LoadFile(wxString::FromUTF8(file.string()), wxBITMAP_TYPE_BMP))
        return {};
    return image;
}

wxBitmap LoadSkinBitmap(const std::filesystem::path& file) {
    const wxImage image = LoadSkinImage(file);
    return image.IsOk() ? wxBitmap(image) : wxBitmap();
}

wxBitmap LoadSkin(const char* name) {
    return LoadSkinBitmap(session().skinFolder / name);
}

void PaintSkin(wxDC& dc, const wxWindow* win, const wxBitmap& skin) {
    const wxSize client = win->GetClientSize();
    wxRegion rest(0, 0, client.x, client.y);
    if (skin.IsOk()) {
        dc.DrawBitmap(skin, 0, 0, false);
        rest.Subtract(wxRect(0, 0, skin.GetWidth(), skin.GetHeight()));
    }
    dc.SetPen(*wxTRANSPARENT_PEN);
    dc.SetBrush(wxBrush(win->GetBackgroundColour()));
    for (wxRegionIterator it(rest); it; ++it)
        dc.DrawRectangle(it.GetRect());
}

void PaintBackgroundBehind(wxDC& dc, const wxWindow* control) {
    const wxWindow* parent = control->GetParent();
    const wxSize size = control->GetClientSize();
    const wxPoint at = control->GetPosition();
    dc.SetPen(*wxTRANSPARENT_PEN);
    dc.SetBrush(wxBrush(parent ? parent->GetBackgroundColour() : control->GetBackgroundColour()));
    dc.DrawRectangle(0, 0, size.x, size.y);
    const auto* host = dynamic_cast<const SkinHost*>(parent);
    if (!host || !host->skinBitmap().IsOk())
        return;
    const wxBitmap& skin = host->skinBitmap();
    const wxRect behind = wxRect(at, size).Intersect(wxRect(0, 0, skin.GetWidth(), skin.GetHeight()));
    if (behind.IsEmpty())
        return;
    dc.DrawBitmap(skin.GetSubBitmap(behind), behind.x - at.x, behind.y - at.y, false);
}

} // namespace qm::ui
