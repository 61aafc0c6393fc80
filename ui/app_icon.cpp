#include "ui/app_icon.h"

#include "res/artwork.h"

#include <wx/image.h>

namespace qm::ui {

wxBitmap AppIconBitmap(int size) {
    const art::Image art = art::drawIcon(size);
    wxImage image(art.width, art.height);
    image.InitAlpha();
    for (int y = 0; y < art.height; ++y)
        for (int x = 0; x < art.width; ++x) {
            const auto* p = art.at(x, y);
            image.SetRGB(x, y, p[0], p[1], p[2]);
            image.SetAlpha(x, y, p[3]);
        }
    return wxBitmap(image);
}

const wxIconBundle& AppIcons() {
    static const wxIconBundle bundle = [] {
        wxIconBundle icons;
        for (int size : {16, 24, 32, 48, 64, 128}) {
            wxIcon icon;
            icon.CopyFromBitmap(AppIconBitmap(size));
            icons.AddIcon(icon);
        }
        return icons;
    }();
    return bundle;
}

} // namespace qm::ui
