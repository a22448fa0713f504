# Runs at install time (see CMakeLists.txt beside it): the unit, the menu entry and the man pages
# name the folders the files are installed into, and `cmake --install --prefix` may choose those
# after configuring.
# Expects QUILLBOX_DIST (this folder), QUILLBOX_OUT (where the results go), QUILLBOX_VERSION, the
# GNUInstallDirs values QUILLBOX_BINDIR, QUILLBOX_DATADIR and QUILLBOX_UNITDIR relative to the
# prefix or absolute, and QUILLBOX_MAN_PAGES (the names of the pages to make).
foreach(dir BINDIR DATADIR UNITDIR)
  if(NOT IS_ABSOLUTE "${QUILLBOX_${dir}}")
    set(QUILLBOX_${dir} "${CMAKE_INSTALL_PREFIX}/${QUILLBOX_${dir}}")
  endif()
endforeach()

configure_file(${QUILLBOX_DIST}/quillboxd.service.in ${QUILLBOX_OUT}/quillboxd.service @ONLY)
# An absolute Exec starts the program from the menu and from autostart whatever PATH holds.
configure_file(${QUILLBOX_DIST}/quillbox.desktop.in ${QUILLBOX_OUT}/quillbox.desktop @ONLY)

# The sections both pages share are written once.
file(READ ${QUILLBOX_DIST}/man/login-and-headers.man.in shared)
string(STRIP "${shared}" shared)
foreach(page ${QUILLBOX_MAN_PAGES})
  get_filename_component(QUILLBOX_MAN_PROGRAM ${page} NAME_WE)
  string(CONFIGURE "${shared}" QUILLBOX_MAN_LOGIN_AND_HEADERS @ONLY)
  configure_file(${QUILLBOX_DIST}/man/${page}.in ${QUILLBOX_OUT}/${page} @ONLY)
endforeach()
