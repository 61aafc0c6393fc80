// The menu bar shared by the main window and the preview window, with its command ids.
#pragma once

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

// Menu 135 and the commands without a menu item. wxWidgets takes ids below 0x7fff only, so the
// program's command numbers 32771.. are used less 30000 (2771..).
inline constexpr int kMenuSelectFile = 2771;
inline constexpr int kCmdForceQuick = 2773;
inline constexpr int kCmdForceAdvance = 2774;
inline constexpr int kMenuSaveCurrent = 2775;
inline constexpr int kMenuSaveAll = 2776;
inline constexpr int kMenuExit = 2777;
inline constexpr int kMenuSkipPreview = 2778;
inline constexpr int kMenuViewLog = 2779;
inline constexpr int kMenuPreview1 = 2781; // .. 2784 for Preview 4
inline constexpr int kMenuContents = 2786;
inline constexpr int kCmdExit = 2787;
inline constexpr int kMenuClearLog = 2788;

} // namespace qm::ui::id

namespace qm::ui {

// Builds menu 135 for `window` (the About item opens the About box over it). The items of
// the other step are for the caller to grey.
wxMenuBar* CreateMainMenu(wxWindow* window);

} // namespace qm::ui
