#include "ui/main_menu.h"

#include "ui/about_dialog.h"

namespace qm::ui {

wxMenuBar* CreateMainMenu(wxWindow* window) {
    auto* file = new wxMenu;
    file->Append(id::kMenuSelectFile, "Select File");
    file->AppendSeparator();
    file->Append(id::kMenuExit, "Exit");

    auto* options = new wxMenu;
    options->AppendCheckItem(id::kMenuSkipPreview, "Skip Preview");

    auto* preview = new wxMenu;
    for (int n = 0; n < 4; ++n)
        preview->Append(id::kMenuPreview1 + n, wxString::Format("Preview %d", n + 1));

    auto* save = new wxMenu;
    save->Append(id::kMenuSaveCurrent, "Save Current Preview");
    save->Append(id::kMenuSaveAll, "Save All");

    auto* log = new wxMenu;
    log->Append(id::kMenuViewLog, "View Log");
    log->Append(id::kMenuClearLog, "Clear Log");

    auto* help = new wxMenu;
    help->Append(id::kMenuContents, "Contents");
    AddAboutItem(help, window);

    auto* bar = new wxMenuBar;
    bar->Append(file, "&File");
    bar->Append(options, "&Options");
    bar->Append(preview, "&Preview");
    bar->Append(save, "&Save");
    bar->Append(log, "&Log");
    bar->Append(help, "&Help");
    return bar;
}

} // namespace qm::ui
