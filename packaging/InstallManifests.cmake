# Runs at install time, when the real install prefix is known: renders the browser manifests so
# that they name the installed host, and installs them where the browsers look.

include("${KIVO_PACKAGING_SOURCE_DIR}/BrowserManifests.cmake")

if(IS_ABSOLUTE "${KIVO_HOST_INSTALL_DIR}")
  set(host_path "${KIVO_HOST_INSTALL_DIR}/kivo-signing-host")
else()
  set(host_path "${CMAKE_INSTALL_PREFIX}/${KIVO_HOST_INSTALL_DIR}/kivo-signing-host")
endif()
cmake_path(NORMAL_PATH host_path)

set(locations "${KIVO_MANIFEST_LOCATIONS}")
if(locations STREQUAL "auto")
  if(CMAKE_INSTALL_PREFIX MATCHES "^/usr/?$|^/usr/local/?$|^/opt/")
    set(locations "system")
  else()
    set(locations "prefix")
  endif()
endif()
if(NOT locations MATCHES "^(system|prefix)$")
  message(FATAL_ERROR "KIVO_MANIFEST_LOCATIONS is '${locations}'; use auto, system or prefix")
endif()
# One staging folder per destination, so installs into different prefixes can run side by side.
string(MD5 destination "$ENV{DESTDIR}|${CMAKE_INSTALL_PREFIX}")
set(staging "${KIVO_PACKAGING_BINARY_DIR}/install-staging/${destination}")
file(REMOVE_RECURSE "${staging}")
kivo_render_manifest("${KIVO_PACKAGING_SOURCE_DIR}/chromium-host-manifest.json.in"
                     "${staging}/chromium/${KIVO_NATIVE_HOST_NAME}.json" "${host_path}"
                     "${KIVO_CHROME_EXTENSION_ORIGINS}")
kivo_render_manifest("${KIVO_PACKAGING_SOURCE_DIR}/firefox-host-manifest.json.in"
                     "${staging}/firefox/${KIVO_NATIVE_HOST_NAME}.json" "${host_path}"
                     "${KIVO_FIREFOX_EXTENSION_IDS}")
kivo_deployment_conf_text("${host_path}" "${KIVO_CHROME_EXTENSION_ORIGINS}"
                          "${KIVO_FIREFOX_EXTENSION_IDS}" conf)
file(WRITE "${staging}/deployment.conf" "${conf}")

# file(INSTALL) honours DESTDIR and records the files in install_manifest.txt. Below a prefix the
# folders keep their shape without the leading /usr (P/etc/opt/chrome/..., P/lib/mozilla/...).
foreach(entry IN LISTS KIVO_SYSTEM_MANIFEST_FOLDERS)
  string(REPLACE "|" ";" entry "${entry}")
  list(GET entry 0 family)
  list(GET entry 1 folder)
  if(family STREQUAL "chrome")
    set(rendered "${staging}/chromium/${KIVO_NATIVE_HOST_NAME}.json")
  else()
    set(rendered "${staging}/firefox/${KIVO_NATIVE_HOST_NAME}.json")
  endif()
  if(locations STREQUAL "prefix")
    string(REGEX REPLACE "^/usr/" "/" folder "${folder}")
    set(folder "${CMAKE_INSTALL_PREFIX}${folder}")
  endif()
  file(INSTALL DESTINATION "${folder}" TYPE FILE FILES "${rendered}")
endforeach()
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/${KIVO_SCRIPT_INSTALL_DIR}" TYPE FILE
     FILES "${staging}/deployment.conf")
