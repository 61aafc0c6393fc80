// The application icon in the sizes window managers ask for, drawn from the program's artwork.
#pragma once

#include <wx/iconbndl.h>

namespace qm::ui {

const wxIconBundle& AppIcons();
wxBitmap AppIconBitmap(int size);

} // namespace qm::ui
