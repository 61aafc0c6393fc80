#include "ui/splash_screen.h"

#include "app/session_state.h"
#include "ui/skin.h"

#include <wx/dcclient.h>
#include <wx/display.h>
#include <wx/region.h>

namespace qm::ui {

namespace {
constexpr int kTickMs = 20;
}

bool CSplashScreenEx::CreateSplash(wxWindow* owner) {
    if (!wxFrame::Create(owner, wxID_ANY, wxString(), wxDefaultPosition, wxSize(0, 0),
                         wxBORDER_NONE | wxSTAY_ON_TOP | wxFRAME_SHAPED | wxFRAME_NO_TASKBAR | wxFRAME_TOOL_WINDOW))
        return false;
    SetBackgroundStyle(wxBG_STYLE_PAINT);
    Bind(wxEVT_PAINT, [this](wxPaintEvent&) {
        wxPaintDC dc(this);
        if (picture_.IsOk())
            dc.DrawBitmap(picture_, 0, 0, false);
    });
    timer_.SetOwner(this);
    Bind(wxEVT_TIMER, &CSplashScreenEx::OnTick, this);
    return true;
}

bool CSplashScreenEx::LoadPicture(const std::filesystem::path& file) {
    const wxImage image = LoadSkinImage(file);
    if (!image.IsOk())
        return false;
    picture_ = wxBitmap(image);
    const int w = image.GetWidth(), h = image.GetHeight();
    const std::span<const std::uint8_t> rgb(image.GetData(), static_cast<std::size_t>(w) * h * 3);
    wxRegion shape;
    for (const ShapeRun& run : ShapeRuns(w, h, rgb))
        shape.Union(run.x, run.y, run.width, 1);

    // The owner's screen, or the first when the owner is not on one (not shown yet).
    const int screen = GetParent() ? wxDisplay::GetFromWindow(GetParent()) : wxNOT_FOUND;
    const wxDisplay display(screen == wxNOT_FOUND ? 0u : static_cast<unsigned>(screen));
    const wxRect area = display.IsOk() ? display.GetClientArea() : wxRect(0, 0, w, h);
    SetSize(area.x + (area.width - w) / 2, area.y + (area.height - h) / 2, w, h);
    SetShape(shape);
    return true;
}

void CSplashScreenEx::ShowSplash(std::function<void()> finished) {
    finished_ = std::move(finished);
    canBlend_ = picture_.IsOk() && CanSetTransparent();
    timeline_ = SplashTimeline(canBlend_);
    if (picture_.IsOk()) {
        if (canBlend_)
            SetTransparent(0);
        ShowWithoutActivating();
    }
    clock_.Start();
    timer_.Start(kTickMs);
}

void CSplashScreenEx::OnTick(wxTimerEvent&) {
    const SplashTimeline::Frame frame = timeline_.at(clock_.Time());
    if (frame.finished) {
        Finish();
        return;
    }
    if (canBlend_)
        SetTransparent(static_cast<wxByte>(frame.opacity));
}

void CSplashScreenEx::HideSplash() {
    Finish();
}

void CSplashScreenEx::Finish() {
    if (finishing_)
        return;
    finishing_ = true;
    timer_.Stop();
    Hide();
    Destroy();
    if (auto finished = std::move(finished_))
        finished();
}

CSplashScreenEx* CSplashScreenEx::Run(wxWindow* owner, std::function<void()> finished) {
    auto* splash = new CSplashScreenEx;
    if (!splash->CreateSplash(owner)) {
        delete splash;
        if (finished)
            finished();
        return nullptr;
    }
    splash->LoadPicture(session().skinFolder / kSplashPicture);
    splash->ShowSplash(std::move(finished));
    return splash;
}

} // namespace qm::ui
