// The web view of the preview window. The pages it shows are made from hostile files, so it
// loads only the files it is allowed (the program's placeholder pages and the current
// candidates), refuses every other navigation and every new window, runs no script from a
// page, loads nothing from the network, and has no context menu.
#pragma once

#include <wx/webview.h>

#include <filesystem>
#include <string>
#include <vector>

namespace qm::ui {

// file:// address of a local path, every byte that is not allowed in a URI escaped (blanks,
// "#", "%", non-ASCII). Empty for a relative path.
std::string FileUri(const std::filesystem::path& path);
// The local path of a file:// address, or empty for anything else.
std::filesystem::path PathOfUri(const std::string& uri);

class CExplorer1 {
public:
    CExplorer1(wxWindow* parent, wxWindowID id, const wxPoint& pos, const wxSize& size);

    wxWebView* view() const { return view_; }

    // The files the view may load from now on.
    void SetAllowed(std::vector<std::filesystem::path> pages);
    // Loads an allowed file; anything else is refused like a page's own navigation.
    void Navigate(const std::filesystem::path& page);
    // The file last asked for (empty: none yet).
    const std::filesystem::path& page() const { return page_; }

    // True when loads of anything but local files and archive parts are blocked.
    bool filtered() const { return filtered_; }
    // Navigations and new windows refused so far, and the last address refused.
    int refusals() const { return refusals_; }
    const std::string& lastRefused() const { return lastRefused_; }

private:
    bool Allowed(const std::string& uri) const;
    void Refuse(wxWebViewEvent& event);
    void LockDown();

    wxWebView* view_ = nullptr;
    std::vector<std::filesystem::path> allowed_;
    std::filesystem::path page_;
    bool filtered_ = false;
    int refusals_ = 0;
    std::string lastRefused_;
};

} // namespace qm::ui
