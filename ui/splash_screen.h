// The start-up splash: a borderless, always-on-top window cut to the outline of "Flash.bmp"
// (pixels of the key colour RGB(255, 0, 240) are left out), centred on the screen.
//
// The sequence runs on a timer, so the program keeps processing events (a blocking sleep
// would leave an unpainted window on GTK): fade in over 500 ms, show 2500 ms, fade out over
// 200 ms where the window system can blend, else show for 2500 ms and hide. The object
// deletes itself when its window is destroyed; the owner never deletes it.
//
// Note for callers: while the splash is the only top-level window, its destruction ends the
// application's main loop (wxApp::SetExitOnFrameDelete).
#pragma once

#include "ui/splash_shape.h"

#include <wx/bitmap.h>
#include <wx/frame.h>
#include <wx/stopwatch.h>
#include <wx/timer.h>

#include <filesystem>
#include <functional>

namespace qm::ui {

class CSplashScreenEx : public wxFrame {
public:
    CSplashScreenEx() = default;

    // Creates the window, hidden and 0 x 0, owned by `owner` (may be null).
    bool CreateSplash(wxWindow* owner);
    // Loads the picture, centres the window on the screen and cuts its shape. False when the
    // file is missing or not a bitmap; the window then stays empty and never shows.
    bool LoadPicture(const std::filesystem::path& file);
    // Shows the window without activating it and starts the timeline; `finished` runs after
    // the window has been hidden and scheduled for destruction. Without a picture only the
    // waiting happens.
    void ShowSplash(std::function<void()> finished = {});
    // Hides the window at once (ends the timeline early) and destroys it.
    void HideSplash();

    // The whole start-up sequence: create, load skinFolder/"Flash.bmp", show.
    static CSplashScreenEx* Run(wxWindow* owner, std::function<void()> finished = {});

    bool CanBlend() const { return canBlend_; }

private:
    void OnTick(wxTimerEvent&);
    void Finish();

    wxBitmap picture_;
    wxTimer timer_;
    wxStopWatch clock_;
    SplashTimeline timeline_{false};
    bool canBlend_ = false;
    bool finishing_ = false;
    std::function<void()> finished_;
};

} // namespace qm::ui
