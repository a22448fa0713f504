# `make deb`: a Debian binary package made by CPack from the install rules beside this folder.
# The package installs to /usr, whatever prefix a plain `cmake --install` uses.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillbox)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Quillbox developers <dev@quillbox.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "POP3 proxy that marks each message with a verdict on its sender")
# Set directly: CPack escapes the text of CPACK_PACKAGE_DESCRIPTION_FILE for XML.
file(READ ${CMAKE_CURRENT_LIST_DIR}/description CPACK_DEBIAN_PACKAGE_DESCRIPTION)
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)

# The DEB generator installs with this prefix into a DESTDIR, so the unit, the menu entry and the
# man pages name the folders the package puts the files in.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/FinishStaging.cmake)
set(CPACK_QUILLBOX_DEB_DIR ${CMAKE_CURRENT_LIST_DIR})
set(CPACK_QUILLBOX_STRIP ${CMAKE_STRIP})
include(CPack)
