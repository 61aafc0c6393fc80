// Window ids: the dialog and control numbers the program's dialogs are known by, used as the
// wxWidgets window ids of the same windows.
#pragma once

namespace qm::ui::id {

// About box.
inline constexpr int kAboutDialog = 100;
inline constexpr int kAboutWebLink = 1026;
inline constexpr int kAboutHiddenLink = 1027;
inline constexpr int kAboutSalesLink = 1028;
inline constexpr int kAboutSupportLink = 1029;
inline constexpr int kAboutOk = 1031;

// Menu and system-menu commands that open the About box.
inline constexpr int kMenuAbout = 2785;    // Help > "About Tessary for Word" (32785 less 30000: wx ids stay below 0x7fff)
inline constexpr int kSysMenuAbout = 0x10; // "&About Tessary"; on GTK it lives in the Help menu

} // namespace qm::ui::id
