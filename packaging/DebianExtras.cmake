# Runs in CPack after the install into the staging folder, once per package generator. For the
# Debian package: lists every file below /etc as a conffile, and adds the lintian overrides.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()

set(root "${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
file(GLOB_RECURSE etc_files LIST_DIRECTORIES false RELATIVE "${root}" "${root}/etc/*")
list(SORT etc_files)
set(text "")
foreach(file IN LISTS etc_files)
  string(APPEND text "/${file}\n")
endforeach()
file(WRITE "${CPACK_KIVO_CONFFILES}" "${text}")

# Not file(INSTALL): CPack's DESTDIR is still set here and would be put in front once more.
file(MAKE_DIRECTORY "${root}/usr/share/lintian/overrides")
file(COPY_FILE "${CPACK_KIVO_LINTIAN_OVERRIDES}"
     "${root}/usr/share/lintian/overrides/${CPACK_PACKAGE_NAME}")
