# Desktop integration and the Debian package: the desktop entry, AppStream metainfo, icons,
# manual pages and help pages, installed where the desktop looks for them under the prefix.

set(QM_APP_ID org.quillmend.Quillmend)
# The entry starts the installed program by its full path, so it works for a prefix that is
# not on $PATH (~/.local).
configure_file(${CMAKE_SOURCE_DIR}/res/desktop/${QM_APP_ID}.desktop ${CMAKE_BINARY_DIR}/${QM_APP_ID}.desktop @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/${QM_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_SOURCE_DIR}/res/desktop/${QM_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${CMAKE_SOURCE_DIR}/res/man/quillmend.1 ${CMAKE_SOURCE_DIR}/res/man/quillmend-cli.1
              ${CMAKE_SOURCE_DIR}/res/man/stopvane.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/res/help DESTINATION ${QM_INSTALL_LIBEXEC})

# A system package records its installation folder in /etc; each user's log folder is
# registered by the programs themselves on first use.
option(QM_SYSTEM_REGISTRY "Install /etc/quillmend/registry.ini instead of registering for the installing user" OFF)
if(QM_SYSTEM_REGISTRY)
    file(WRITE ${CMAKE_BINARY_DIR}/registry.ini "[TYDOC]\nFilePath=${CMAKE_INSTALL_PREFIX}/${QM_INSTALL_LIBEXEC}\n")
    install(FILES ${CMAKE_BINARY_DIR}/registry.ini DESTINATION /etc/quillmend)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillmend)
set(CPACK_PACKAGE_VENDOR "Quillmend")
set(CPACK_PACKAGE_CONTACT "Quillmend developers <developers@quillmend.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Salvage the content of damaged Word documents (Tessary for Word)")
set(CPACK_PACKAGE_DESCRIPTION "Brings back the text and pictures of damaged .doc and .docx documents: \
a desktop program and a batch command line, with their own document server.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# Library dependencies are read from the binaries by dpkg-shlibdeps; libzip, which the document
# server loads on first use, is named here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${QM_LIBZIP_PACKAGE}")
# The help pages and the log are opened with the desktop's opener; a spelling dictionary
# sharpens the choice of the recommended candidate (any hunspell dictionary will do).
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils, hunspell-en-us | hunspell-dictionary")
include(CPack)
