# The Debian package and the RPM, built by CPack from the install rules above (scripts/package.sh
# runs it on a Release build). Both hold exactly what `cmake --install --prefix /usr` writes: the
# host, the register script with its templates and settings, one system-wide manifest per browser,
# and the copyright and changelog.

set(KIVO_PACKAGE_MAINTAINER "Kivo Signing Team <signing@kivo.example>" CACHE STRING
    "Maintainer named in the packages (Name <address>)")

set(package_name kivo-signing-host)
set(doc_dir share/doc/${package_name})
install(FILES debian/copyright DESTINATION ${doc_dir})
# Debian wants the changelog compressed without a time stamp, so rebuilds give the same bytes.
set(changelog_gz ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
execute_process(COMMAND gzip -9nc INPUT_FILE ${CMAKE_CURRENT_SOURCE_DIR}/debian/changelog
                OUTPUT_FILE ${changelog_gz} COMMAND_ERROR_IS_FATAL ANY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS debian/changelog)
install(FILES ${changelog_gz} DESTINATION ${doc_dir})

set(CPACK_PACKAGE_NAME ${package_name})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Kivo")
set(CPACK_PACKAGE_CONTACT "${KIVO_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "browser native-messaging host that signs XML documents")
# Read here rather than named as CPACK_PACKAGE_DESCRIPTION_FILE, which CPack hands to the Debian
# control file with apostrophes turned into XML entities.
file(READ debian/description CPACK_PACKAGE_DESCRIPTION)
string(STRIP "${CPACK_PACKAGE_DESCRIPTION}" CPACK_PACKAGE_DESCRIPTION)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS debian/description)
set(CPACK_GENERATOR "DEB;RPM")
# The manifests name the host's final path and go to folders outside the prefix, so CPack installs
# with DESTDIR and the real prefix rather than into a relocated prefix.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The host asks for PINs and approvals through a graphical pinentry: a browser gives it no terminal.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pinentry-gnome3 | pinentry-x11")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "opensc")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The manifests below /etc are configuration: dpkg keeps an administrator's edits on upgrade and
# removes them on purge. The list is made from what was installed, whatever the browser list is;
# the lintian overrides (explained in docs/packages.md) go into the Debian package only.
set(CPACK_KIVO_CONFFILES ${CMAKE_CURRENT_BINARY_DIR}/debian/conffiles)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_SOURCE_DIR}/DebianExtras.cmake)
set(CPACK_KIVO_LINTIAN_OVERRIDES ${CMAKE_CURRENT_SOURCE_DIR}/debian/lintian-overrides)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CPACK_KIVO_CONFFILES})
file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/debian)
file(TOUCH ${CPACK_KIVO_CONFFILES})

set(CPACK_RPM_FILE_NAME "${package_name}-${PROJECT_VERSION}.${CMAKE_SYSTEM_PROCESSOR}.rpm")
set(CPACK_RPM_PACKAGE_LICENSE "LicenseRef-Kivo")
set(CPACK_RPM_PACKAGE_GROUP "Applications/System")
set(CPACK_RPM_PACKAGE_AUTOREQ ON)
set(CPACK_RPM_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_PACKAGE_RELOCATABLE OFF)
# Only the package's own files: no /usr/lib/.build-id links, which the .deb does not have either.
set(CPACK_RPM_SPEC_MORE_DEFINE "%define _build_id_links none")

include(CPack)
