# Runs in CPack once the install rules have staged the files (CPACK_PRE_BUILD_SCRIPTS), and does
# what Debian's own package helpers would: strips the programs as dh_strip does, compresses the
# manual pages, adds the copyright file, the changelog and lintian's overrides, and gives every
# file and folder the permissions Debian expects, whatever the umask of whoever builds it.
set(root "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
set(doc "${root}/share/doc/${CPACK_PACKAGE_NAME}")
set(readable OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "${ARGN}: ${failed}")
  endif()
endfunction()

# -9n: as small as gzip makes it, and without name and time stamp, so that the same sources
# give the same package.
function(gzip_to source target)
  get_filename_component(folder "${target}" DIRECTORY)
  file(MAKE_DIRECTORY "${folder}")
  run(gzip -9nc "${source}" OUTPUT_FILE "${target}")
  file(CHMOD "${target}" PERMISSIONS ${readable})
endfunction()

function(copy_to source target)
  get_filename_component(folder "${target}" DIRECTORY)
  file(MAKE_DIRECTORY "${folder}")
  file(COPY_FILE "${source}" "${target}")
  file(CHMOD "${target}" PERMISSIONS ${readable})
endfunction()

file(GLOB programs "${root}/bin/*")
foreach(program ${programs})
  run("${CPACK_QUILLBOX_STRIP}" --remove-section=.comment --remove-section=.note "${program}")
endforeach()

file(GLOB pages "${root}/share/man/man1/*.1")
foreach(page ${pages})
  gzip_to("${page}" "${page}.gz")
  file(REMOVE "${page}")
endforeach()

set(source "${CPACK_QUILLBOX_DEB_DIR}")
copy_to("${source}/copyright" "${doc}/copyright")
# A package without a Debian revision is native: its changelog is changelog.gz.
gzip_to("${source}/changelog" "${doc}/changelog.gz")
copy_to("${source}/quillbox.lintian-overrides" "${root}/share/lintian/overrides/${CPACK_PACKAGE_NAME}")

file(CHMOD_RECURSE "${root}" DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
     GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
