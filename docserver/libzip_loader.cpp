#include "docserver/libzip_loader.h"

#include "docserver/document.h"

#include <dlfcn.h>

#include <string>

#ifndef QM_LIBZIP_SONAME
#define QM_LIBZIP_SONAME "libzip.so.4"
#endif

namespace qm::docserver {

namespace {

LibZip load() {
    void* handle = ::dlopen(QM_LIBZIP_SONAME, RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = ::dlerror();
        throw DocError(std::string("cannot load libzip: ") + (why ? why : QM_LIBZIP_SONAME));
    }
    LibZip api{};
#define QM_LIBZIP_RESOLVE(name)                                                                                    \
    api.name = reinterpret_cast<decltype(api.name)>(::dlsym(handle, #name));                                       \
    if (!api.name)                                                                                                 \
        throw DocError("cannot load libzip: " QM_LIBZIP_SONAME " has no " #name);
    QM_LIBZIP_FUNCTIONS(QM_LIBZIP_RESOLVE)
#undef QM_LIBZIP_RESOLVE
    return api; // the library stays loaded for the life of the process
}

} // namespace

const LibZip& libzip() {
    static const LibZip api = load();
    return api;
}

} // namespace qm::docserver
