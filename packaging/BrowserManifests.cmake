# Rendering of the native-messaging manifests from their templates, shared by configure time
# (checking the deployment settings) and install time (writing the manifests).

set(KIVO_NATIVE_HOST_NAME "com.kivo.signing")

# The system-wide native-messaging folders of the browser table (browsers.conf, which
# register-browsers.sh and the host read too), as family|folder, each once in table order:
# /etc/opt/chrome serves Chrome (every channel), Brave and Vivaldi, and Edge after its own folder.
function(kivo_system_manifest_folders table_file out)
  file(STRINGS "${table_file}" rows REGEX "^[^#]")
  set(folders "")
  # Matched rather than split into a list: install scripts run without the policies that keep
  # empty list elements.
  foreach(row IN LISTS rows)
    if(row MATCHES "^[^|]*\\|[^|]*\\|([^|]*)\\|[^|]*\\|([^|]*)\\|")
      list(FIND folders "${CMAKE_MATCH_1}|${CMAKE_MATCH_2}" seen)
      if(seen EQUAL -1)
        list(APPEND folders "${CMAKE_MATCH_1}|${CMAKE_MATCH_2}")
      endif()
    endif()
  endforeach()
  set(${out} "${folders}" PARENT_SCOPE)
endfunction()
kivo_system_manifest_folders("${CMAKE_CURRENT_LIST_DIR}/browsers.conf" KIVO_SYSTEM_MANIFEST_FOLDERS)

# Fails with a message naming the bad entry when an allowed origin or extension id has a form the
# browsers would reject (a bad manifest makes the browser refuse the host without saying why).
function(kivo_check_deployment_settings origins firefox_ids)
  if(NOT origins)
    message(FATAL_ERROR "KIVO_CHROME_EXTENSION_ORIGINS is empty: name at least one extension origin")
  endif()
  foreach(origin IN LISTS origins)
    if(NOT origin MATCHES "^chrome-extension://[a-p]+/$")
      message(FATAL_ERROR "KIVO_CHROME_EXTENSION_ORIGINS: '${origin}' is not of the form "
                          "chrome-extension://<32 letters a-p>/")
    endif()
    string(LENGTH "${origin}" length)
    if(NOT length EQUAL 52)
      message(FATAL_ERROR "KIVO_CHROME_EXTENSION_ORIGINS: '${origin}' does not hold a 32-letter "
                          "extension id")
    endif()
  endforeach()
  if(NOT firefox_ids)
    message(FATAL_ERROR "KIVO_FIREFOX_EXTENSION_IDS is empty: name at least one extension id")
  endif()
  foreach(id IN LISTS firefox_ids)
    if(NOT id MATCHES "^([A-Za-z0-9._+-]+@[A-Za-z0-9._-]+|{[0-9A-Fa-f-]+})$")
      message(FATAL_ERROR "KIVO_FIREFOX_EXTENSION_IDS: '${id}' is neither name@domain nor a {GUID}")
    endif()
  endforeach()
endfunction()

function(kivo_json_string text out)
  if(text MATCHES "[\n\r\t]")
    message(FATAL_ERROR "'${text}' holds a control character and cannot go into a manifest")
  endif()
  string(REPLACE "\\" "\\\\" text "${text}")
  string(REPLACE "\"" "\\\"" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# Writes `output` from `template` with the host's absolute path and the allowed origins or ids.
function(kivo_render_manifest template output host_path allowed)
  kivo_json_string("${host_path}" KIVO_HOST_PATH)
  set(quoted "")
  foreach(entry IN LISTS allowed)
    kivo_json_string("${entry}" entry)
    list(APPEND quoted "\"${entry}\"")
  endforeach()
  list(JOIN quoted ", " KIVO_ALLOWED_LIST)
  configure_file("${template}" "${output}" @ONLY)
endfunction()

# The settings file register-browsers.sh reads: one key=value per line, lists as repeated keys.
function(kivo_deployment_conf_text host_path origins firefox_ids out)
  set(text "# Deployment settings of this kivo-signing-host, read by register-browsers.sh.\n")
  string(APPEND text "host=${host_path}\n")
  foreach(origin IN LISTS origins)
    string(APPEND text "chrome_origin=${origin}\n")
  endforeach()
  foreach(id IN LISTS firefox_ids)
    string(APPEND text "firefox_id=${id}\n")
  endforeach()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()
