// The About box: program name and version, the maker's web, sales and support addresses as
// link buttons, the icon and OK. Reached from the Help menu (GTK windows have no system menu
// to carry an About item).
#pragma once

#include "ui/skinned_window.h"

#include <wx/menu.h>

namespace qm::ui {

class CAboutDlg : public SkinnedDialog {
public:
    explicit CAboutDlg(wxWindow* parent);
};

// Runs the About box modally over `parent`.
void ShowAboutBox(wxWindow* parent);

// Appends "About Tessary for Word" to a Help menu and lets `window` open the About box on it.
void AddAboutItem(wxMenu* helpMenu, wxWindow* window);

} // namespace qm::ui
