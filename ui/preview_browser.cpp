#include "ui/preview_browser.h"

#include "platform/files.h"
#include "platform/temp.h"

#include <gio/gio.h>
#include <glib-object.h>
#include <glib.h>

#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace qm::ui {

namespace fs = std::filesystem;

std::string FileUri(const fs::path& path) {
    if (!path.is_absolute())
        return {};
    gchar* uri = g_filename_to_uri(path.c_str(), nullptr, nullptr);
    std::string out = uri ? uri : "";
    g_free(uri);
    return out;
}

fs::path PathOfUri(const std::string& uri) {
    gchar* name = g_filename_from_uri(uri.c_str(), nullptr, nullptr);
    fs::path out = name ? fs::path(name) : fs::path();
    g_free(name);
    return out;
}

namespace {

// Subresources a page may load: its own files, data: addresses, and the parts of a web
// archive, which our archives address under a name that never resolves. Everything else
// (http, https, ftp, ...) is blocked before a request is made.
constexpr const char* kContentRules =
    R"([{"trigger":{"url-filter":".*"},"action":{"type":"block"}},)"
    R"({"trigger":{"url-filter":"^file:"},"action":{"type":"ignore-previous-rules"}},)"
    R"({"trigger":{"url-filter":"^data:"},"action":{"type":"ignore-previous-rules"}},)"
    R"({"trigger":{"url-filter":"^http://quillmend\\.invalid/"},"action":{"type":"ignore-previous-rules"}}])";

// The content filter API of WebKitGTK, looked up in the library the toolkit's web view
// already loaded (its headers are not needed for these few calls).
using FilterStoreNew = void* (*)(const gchar*);
using FilterStoreSave = void (*)(void*, const gchar*, GBytes*, GCancellable*, GAsyncReadyCallback, gpointer);
using FilterStoreSaveFinish = void* (*)(void*, GAsyncResult*, GError**);
using ContentManagerAddFilter = void (*)(void*, void*);
using FilterUnref = void (*)(void*);

template <class F> F webkitCall(const char* name) { return reinterpret_cast<F>(dlsym(RTLD_DEFAULT, name)); }

// Compiles the rules once for the process (a second compile in one process fails) and waits for
// the compiler, at most a few seconds, so that no page loads before the filter is in place.
// WebKit answers on the default main context, so the toolkit's events run meanwhile.
// Null when the filter API is missing or the rules could not be compiled.
void* CompiledContentFilter() {
    static void* compiled = nullptr;
    static bool tried = false;
    if (tried)
        return compiled;
    tried = true;
    const auto storeNew = webkitCall<FilterStoreNew>("webkit_user_content_filter_store_new");
    const auto save = webkitCall<FilterStoreSave>("webkit_user_content_filter_store_save");
    const auto finish = webkitCall<FilterStoreSaveFinish>("webkit_user_content_filter_store_save_finish");
    const auto unref = webkitCall<FilterUnref>("webkit_user_content_filter_unref");
    if (!storeNew || !save || !finish || !unref)
        return nullptr;
    // The compiled filter is written to a store folder of our own, removed once it is loaded.
    const auto folder = temp::makeFolder("filter");
    if (folder.empty())
        return nullptr;
    // The compiler's answer may come after we gave up waiting: then the callback cleans up.
    struct Compile {
        void* store;
        FilterStoreSaveFinish finish;
        FilterUnref unref;
        void* filter = nullptr;
        bool done = false;
        bool abandoned = false;
    };
    auto* compile = new Compile{storeNew(folder.c_str()), finish, unref};
    GBytes* rules = g_bytes_new_static(kContentRules, std::strlen(kContentRules));
    save(compile->store, "preview", rules, nullptr,
         [](GObject*, GAsyncResult* result, gpointer data) {
             auto* c = static_cast<Compile*>(data);
             c->filter = c->finish(c->store, result, nullptr);
             c->done = true;
             if (c->abandoned) {
                 if (c->filter)
                     c->unref(c->filter);
                 g_object_unref(static_cast<GObject*>(c->store));
                 delete c;
             }
         },
         compile);
    g_bytes_unref(rules);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!compile->done && std::chrono::steady_clock::now() < deadline)
        if (!g_main_context_iteration(nullptr, FALSE))
            g_usleep(1000);
    if (!compile->done) {
        compile->abandoned = true;
        files::removeTree(folder);
        return nullptr;
    }
    compiled = compile->filter; // kept for the life of the process
    g_object_unref(static_cast<GObject*>(compile->store));
    delete compile;
    files::removeTree(folder);
    return compiled;
}

// Adds the filter to the view's content manager.
bool AddContentFilter(GObject* web) {
    const auto addFilter = webkitCall<ContentManagerAddFilter>("webkit_user_content_manager_add_filter");
    void* filter = CompiledContentFilter();
    if (!filter || !addFilter || !g_object_class_find_property(G_OBJECT_GET_CLASS(web), "user-content-manager"))
        return false;
    GObject* manager = nullptr;
    g_object_get(web, "user-content-manager", &manager, nullptr);
    if (!manager)
        return false;
    addFilter(manager, filter);
    g_object_unref(manager);
    return true;
}

} // namespace

CExplorer1::CExplorer1(wxWindow* parent, wxWindowID id, const wxPoint& pos, const wxSize& size) {
    view_ = wxWebView::New(parent, id, wxWebViewDefaultURLStr, pos, size);
    view_->EnableContextMenu(false);
    view_->EnableHistory(false);
    LockDown();
    view_->Bind(wxEVT_WEBVIEW_NAVIGATING, [this](wxWebViewEvent& e) {
        if (!Allowed(e.GetURL().utf8_string()))
            Refuse(e);
    });
    // The toolkit never opens the window itself; counting it is all that is left to do.
    view_->Bind(wxEVT_WEBVIEW_NEWWINDOW, [this](wxWebViewEvent& e) { Refuse(e); });
}

// Settings of the WebKit view behind the toolkit's window: no script from the pages (the
// program's own calls still run), no windows opened by pages, no file access across pages,
// no storage, no developer tools.
void CExplorer1::LockDown() {
    auto* web = static_cast<GObject*>(view_->GetNativeBackend());
    if (!web)
        return;
    filtered_ = AddContentFilter(web);
    const auto getSettings = webkitCall<void* (*)(void*)>("webkit_web_view_get_settings");
    auto* settings = getSettings ? static_cast<GObject*>(getSettings(web)) : nullptr;
    if (!settings)
        return;
    const struct {
        const char* name;
        gboolean value;
    } values[] = {
        {"enable-javascript-markup", FALSE},
        {"javascript-can-open-windows-automatically", FALSE},
        {"allow-file-access-from-file-urls", FALSE},
        {"allow-universal-access-from-file-urls", FALSE},
        {"enable-html5-local-storage", FALSE},
        {"enable-developer-extras", FALSE},
    };
    for (const auto& v : values)
        if (g_object_class_find_property(G_OBJECT_GET_CLASS(settings), v.name))
            g_object_set(settings, v.name, v.value, nullptr);
}

void CExplorer1::SetAllowed(std::vector<fs::path> pages) { allowed_ = std::move(pages); }

bool CExplorer1::Allowed(const std::string& uri) const {
    if (uri == "about:blank") // the empty page the view starts with
        return true;
    const fs::path path = PathOfUri(uri);
    if (path.empty())
        return false;
    return std::find(allowed_.begin(), allowed_.end(), path) != allowed_.end();
}

void CExplorer1::Refuse(wxWebViewEvent& event) {
    event.Veto();
    ++refusals_;
    lastRefused_ = event.GetURL().utf8_string();
}

void CExplorer1::Navigate(const fs::path& page) {
    page_ = page;
    const std::string uri = FileUri(page);
    if (uri.empty() || !Allowed(uri)) {
        ++refusals_;
        lastRefused_ = page.string();
        return;
    }
    view_->LoadURL(wxString::FromUTF8(uri));
}

} // namespace qm::ui
