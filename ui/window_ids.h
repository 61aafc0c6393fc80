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

// Menu commands are numbered from 32771 up, but wxWidgets takes menu item ids only below
// 0x7FFF: a command's window id is its number less kMenuIdOffset (32785 -> 12785).
inline constexpr int kMenuIdOffset = 20000;
constexpr int MenuId(int command) {
    return command - kMenuIdOffset;
}

// Help > "About Tessary for Word" (command 32785). The system-menu item "&About Tessary"
// (command 0x10) has no place on GTK, whose windows have no system menu: this item stands in.
inline constexpr int kMenuAbout = MenuId(32785);

} // namespace qm::ui::id
