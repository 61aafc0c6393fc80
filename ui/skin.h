// Skin bitmaps: loading them from the skin folder without any message, and drawing the part of
// a window's skin that lies behind one of its controls.
#pragma once

#include <wx/bitmap.h>
#include <wx/dc.h>
#include <wx/image.h>
#include <wx/window.h>

#include <filesystem>

namespace qm::ui {

// File names inside the skin folder.
inline constexpr const char* kBannerSkin = "Tessary-Word.bmp"; // main and preview windows
inline constexpr const char* kPanelSkin = "Skin2.bmp";         // every other dialog
inline constexpr const char* kSplashPicture = "Flash.bmp";

// Reads a BMP file at its own size. A missing, unreadable, oversized or undecodable file gives
// an invalid image; nothing is shown or logged (wxWidgets would otherwise pop up a message).
wxImage LoadSkinImage(const std::filesystem::path& file);
wxBitmap LoadSkinBitmap(const std::filesystem::path& file);
// The same for a file of the session's skin folder.
wxBitmap LoadSkin(const char* name);

// A window that paints a skin lets its custom-drawn controls paint what lies behind them.
class SkinHost {
public:
    virtual ~SkinHost() = default;
    virtual const wxBitmap& skinBitmap() const = 0;
};

// Paints, over the whole client area of `control`, the skin of its parent at the control's
// place (the skin is drawn unscaled at the parent's (0, 0)); where the skin does not reach, or
// the parent has none, the parent's background colour.
void PaintBackgroundBehind(wxDC& dc, const wxWindow* control);

// Paints `skin` at (0, 0) unscaled and the rest of the client area of `win` in its background
// colour. Used by the skinned windows' paint handler.
void PaintSkin(wxDC& dc, const wxWindow* win, const wxBitmap& skin);

} // namespace qm::ui
