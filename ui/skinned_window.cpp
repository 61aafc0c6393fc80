#include "ui/skinned_window.h"

#include <wx/dcbuffer.h>

#include <gtk/gtk.h>

namespace qm::ui {

wxPoint DluPoint(wxWindow* win, int x, int y) {
    return win->ConvertDialogToPixels(wxPoint(x, y));
}

wxSize DluSize(wxWindow* win, int w, int h) {
    return win->ConvertDialogToPixels(wxSize(w, h));
}

void InstallSkin(wxTopLevelWindow* win, const wxBitmap& skin, bool swallowHelp) {
    if (skin.IsOk()) {
        win->SetBackgroundStyle(wxBG_STYLE_PAINT);
        win->Bind(wxEVT_PAINT, [win, &skin](wxPaintEvent&) {
            wxAutoBufferedPaintDC dc(win);
            PaintSkin(dc, win, skin);
        });
    }
    if (swallowHelp) {
        win->Bind(wxEVT_HELP, [](wxHelpEvent&) {});
        win->Bind(wxEVT_CHAR_HOOK, [](wxKeyEvent& event) {
            if (event.GetKeyCode() != WXK_F1 || event.HasAnyModifiers())
                event.Skip();
        });
    }
}

void SkinThroughButton(wxWindow* button) {
    static GtkCssProvider* provider = [] {
        GtkCssProvider* css = gtk_css_provider_new();
        gtk_css_provider_load_from_data(css,
                                        "button.qm-skin-through { background-image: none; "
                                        "background-color: transparent; box-shadow: none; }\n"
                                        "button.qm-skin-through:hover { background-color: rgba(255, 255, 255, 0.35); }\n"
                                        "button.qm-skin-through:active { background-color: rgba(0, 0, 0, 0.12); }",
                                        -1, nullptr);
        gtk_style_context_add_provider_for_screen(gdk_screen_get_default(), GTK_STYLE_PROVIDER(css),
                                                  GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
        return css;
    }();
    (void)provider;
    if (auto* widget = static_cast<GtkWidget*>(button->GetHandle()))
        gtk_style_context_add_class(gtk_widget_get_style_context(widget), "qm-skin-through");
}

} // namespace qm::ui
