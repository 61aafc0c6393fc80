// libzip, loaded when a package is first read or written rather than when the server starts.
// With what it pulls in (a cryptography library among others) it used to be half of the
// server's start-up work, and a server starts several times per document while most
// documents never need a package.
#pragma once

#include <zip.h>

namespace qm::docserver {

// The libzip functions the server uses.
#define QM_LIBZIP_FUNCTIONS(X)                                                                                      \
    X(zip_close) X(zip_discard) X(zip_error_fini) X(zip_error_init) X(zip_error_init_with_code) X(zip_error_set)   \
    X(zip_error_strerror) X(zip_error_to_data) X(zip_fclose) X(zip_file_add) X(zip_fopen_index) X(zip_fread)       \
    X(zip_get_name) X(zip_get_num_entries) X(zip_name_locate) X(zip_open) X(zip_open_from_source)                  \
    X(zip_set_file_compression) X(zip_source_buffer) X(zip_source_buffer_create) X(zip_source_free)                \
    X(zip_source_function) X(zip_source_make_command_bitmap) X(zip_stat_index) X(zip_stat_init) X(zip_strerror)

struct LibZip {
#define QM_LIBZIP_POINTER(name) decltype(&::name) name;
    QM_LIBZIP_FUNCTIONS(QM_LIBZIP_POINTER)
#undef QM_LIBZIP_POINTER
};

// The loaded library (loaded once, by the first caller); throws DocError when it cannot be.
const LibZip& libzip();

} // namespace qm::docserver
