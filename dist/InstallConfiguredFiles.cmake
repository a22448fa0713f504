# Runs at install time (see CMakeLists.txt beside it): the unit, the menu entry and the man pages
# name the folders the files are installed into, and `cmake --install --prefix` may choose those
# after configuring. The files are made in a scratch folder outside the build tree (an install
# run by root must leave nothing there that the user cannot delete) and installed from there.
# Expects QUILLBOX_DIST (this folder), QUILLBOX_VERSION, the GNUInstallDirs values
# QUILLBOX_BINDIR, QUILLBOX_DATADIR, QUILLBOX_MANDIR and QUILLBOX_UNITDIR relative to the prefix
# or absolute, QUILLBOX_MAN_PAGES (the pages to make) and QUILLBOX_DESKTOP_ENTRY (whether the
# menu entry is installed).
foreach(dir BINDIR DATADIR MANDIR UNITDIR)
  if(NOT IS_ABSOLUTE "${QUILLBOX_${dir}}")
    set(QUILLBOX_${dir} "${CMAKE_INSTALL_PREFIX}/${QUILLBOX_${dir}}")
  endif()
endforeach()

set(scratch_base "$ENV{TMPDIR}")
if(NOT IS_DIRECTORY "${scratch_base}")
  set(scratch_base /tmp)
endif()
string(RANDOM LENGTH 12 suffix)
set(scratch "${scratch_base}/quillbox-install-${suffix}")

configure_file(${QUILLBOX_DIST}/quillboxd.service.in ${scratch}/quillboxd.service @ONLY)
file(INSTALL ${scratch}/quillboxd.service DESTINATION ${QUILLBOX_UNITDIR})

# The sections both pages share are written once.
file(READ ${QUILLBOX_DIST}/man/login-and-headers.man.in shared)
string(STRIP "${shared}" shared)
foreach(page ${QUILLBOX_MAN_PAGES})
  get_filename_component(QUILLBOX_MAN_PROGRAM ${page} NAME_WE)
  string(CONFIGURE "${shared}" QUILLBOX_MAN_LOGIN_AND_HEADERS @ONLY)
  configure_file(${QUILLBOX_DIST}/man/${page}.in ${scratch}/${page} @ONLY)
  file(INSTALL ${scratch}/${page} DESTINATION ${QUILLBOX_MANDIR}/man1)
endforeach()

# An absolute Exec starts the program from the menu and from autostart whatever PATH holds.
if(QUILLBOX_DESKTOP_ENTRY)
  configure_file(${QUILLBOX_DIST}/quillbox.desktop.in ${scratch}/quillbox.desktop @ONLY)
  file(INSTALL ${scratch}/quillbox.desktop DESTINATION ${QUILLBOX_DATADIR}/applications)
endif()

file(REMOVE_RECURSE ${scratch})
