// The menu bar shared by the main window and the preview window, with its command ids.
#pragma once

#include "ui/window_ids.h"

#include <wx/menu.h>
#include <wx/window.h>

namespace qm::ui::id {

// The main window and its controls.
inline constexpr int kMainWindow = 102;
inline constexpr int kSourceList = 1000;
inline constexpr int kBrowse = 1001;
inline constexpr int kClearAll = 1002;
inline constexpr int kRepairMode = 1003;
inline constexpr int kSkipPreviewBox = 1004;
inline constexpr int kRepair = 1005;
inline constexpr int kClearSelected = 1026;
inline constexpr int kSaveAsDoc = 1039;
inline constexpr int kSaveAsDocx = 1040;

// Menu 135 and the commands without a menu item, by their command numbers (see MenuId).
inline constexpr int kMenuSelectFile = MenuId(32771);
inline constexpr int kCmdForceQuick = MenuId(32773);
inline constexpr int kCmdForceAdvance = MenuId(32774);
inline constexpr int kMenuSaveCurrent = MenuId(32775);
inline constexpr int kMenuSaveAll = MenuId(32776);
inline constexpr int kMenuExit = MenuId(32777);
inline constexpr int kMenuSkipPreview = MenuId(32778);
inline constexpr int kMenuViewLog = MenuId(32779);
inline constexpr int kMenuPreview1 = MenuId(32781); // .. MenuId(32784) for Preview 4
inline constexpr int kMenuContents = MenuId(32786);
inline constexpr int kCmdExit = MenuId(32787);
inline constexpr int kMenuClearLog = MenuId(32788);

} // namespace qm::ui::id

namespace qm::ui {

// Builds menu 135 for `window` (the About item opens the About box over it). The items of
// the other step are for the caller to grey.
wxMenuBar* CreateMainMenu(wxWindow* window);

} // namespace qm::ui
