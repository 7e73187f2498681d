# Deployment constants: one configure-time input. A production build passes its
# own values (-DORVEX_UPDATE_KEY=... and so on); the defaults are development
# material that works on loopback (see testdata/dev/README.md).

set(_dev "${CMAKE_SOURCE_DIR}/testdata/dev")
file(STRINGS "${_dev}/fallback-cert.pin" _dev_pin LIMIT_COUNT 1)

set(ORVEX_UPDATE_KEY "${_dev}/update-key.blob" CACHE FILEPATH
    "Pinned update key: 411-byte RSAPUBLICBLOB (RSA-3072)")
set(ORVEX_MANIFEST_KEY "${_dev}/manifest-key.blob" CACHE FILEPATH
    "Pinned manifest key: 72-byte ECCPUBLICBLOB (P-256)")
set(ORVEX_CERT_PIN "${_dev_pin}" CACHE STRING
    "SHA-256 of the fallback patch endpoint's DER certificate, 64 lower-case hex")
set(ORVEX_FALLBACK_HOSTS "203.0.113.10;192.168.56.10;127.0.0.1" CACHE STRING
    "Fallback patch endpoint hosts, ';'-separated dotted IPv4: public, LAN, loopback")
set(ORVEX_PATCH_BASE_URL "https://127.0.0.1:5444/orvex-patch/" CACHE STRING
    "Built-in patch base URL (https, path ends in /orvex-patch/)")
set(ORVEX_RETIRED_PATCH_URL "https://127.0.0.1:5443/patch/" CACHE STRING
    "Retired direct-address patch URL that older installations carry")
set(ORVEX_PATCH_CDN_URL "https://127.0.0.1:5444/orvex-patch/" CACHE STRING
    "Patch CDN base URL (https, path /orvex-patch/)")
set(ORVEX_SITE_URL "http://127.0.0.1:8080/" CACHE STRING
    "Built-in site address (plain http naming the login server)")
set(ORVEX_LOGIN_HOST "127.0.0.1" CACHE STRING "Default login server host")
set(ORVEX_LAUNCHER_VERSION "1.0.0.0" CACHE STRING
    "File and product version of Launcher.exe: four dot-separated numbers, each 0-65535")

function(orvex_key_bytes var path expected)
  if(NOT EXISTS "${path}")
    message(FATAL_ERROR "Deployment key file ${path} does not exist")
  endif()
  file(SIZE "${path}" _size)
  if(NOT _size EQUAL expected)
    message(FATAL_ERROR "Deployment key file ${path} has ${_size} bytes; ${expected} are required")
  endif()
  file(READ "${path}" _hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," _bytes "${_hex}")
  set(${var} "${_bytes}" PARENT_SCOPE)
endfunction()

orvex_key_bytes(ORVEX_UPDATE_KEY_BYTES "${ORVEX_UPDATE_KEY}" 411)
orvex_key_bytes(ORVEX_MANIFEST_KEY_BYTES "${ORVEX_MANIFEST_KEY}" 72)

string(LENGTH "${ORVEX_CERT_PIN}" _pin_length)
if(NOT ORVEX_CERT_PIN MATCHES "^[0-9a-f]+$" OR NOT _pin_length EQUAL 64)
  message(FATAL_ERROR "ORVEX_CERT_PIN must be 64 lower-case hexadecimal characters")
endif()

list(LENGTH ORVEX_FALLBACK_HOSTS _hosts)
if(NOT _hosts EQUAL 3)
  message(FATAL_ERROR "ORVEX_FALLBACK_HOSTS must name exactly three hosts (public;LAN;loopback)")
endif()
foreach(_host IN LISTS ORVEX_FALLBACK_HOSTS)
  if(NOT _host MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+$")
    message(FATAL_ERROR "ORVEX_FALLBACK_HOSTS entry '${_host}' is not a dotted IPv4 address")
  endif()
endforeach()
list(GET ORVEX_FALLBACK_HOSTS 0 ORVEX_FALLBACK_HOST_PUBLIC)
list(GET ORVEX_FALLBACK_HOSTS 1 ORVEX_FALLBACK_HOST_LAN)
list(GET ORVEX_FALLBACK_HOSTS 2 ORVEX_FALLBACK_HOST_LOOPBACK)

foreach(_url ORVEX_PATCH_BASE_URL ORVEX_PATCH_CDN_URL ORVEX_RETIRED_PATCH_URL)
  if(NOT ${_url} MATCHES "^https://")
    message(FATAL_ERROR "${_url} must be an https URL")
  endif()
endforeach()
if(NOT ORVEX_SITE_URL MATCHES "^http://")
  message(FATAL_ERROR "ORVEX_SITE_URL must be a plain http URL")
endif()

if(NOT ORVEX_LAUNCHER_VERSION MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+$")
  message(FATAL_ERROR "ORVEX_LAUNCHER_VERSION must be four dot-separated numbers (1.2.3.4)")
endif()
string(REPLACE "." ";" _version_parts "${ORVEX_LAUNCHER_VERSION}")
foreach(_part IN LISTS _version_parts)
  if(_part GREATER 65535)
    message(FATAL_ERROR "ORVEX_LAUNCHER_VERSION parts must not exceed 65535")
  endif()
endforeach()
string(REPLACE "." "," ORVEX_LAUNCHER_VERSION_COMMAS "${ORVEX_LAUNCHER_VERSION}")
# Read by the resource compiler (VERSIONINFO), so plain macros only.
configure_file("${CMAKE_CURRENT_LIST_DIR}/LauncherVersion.h.in"
               "${CMAKE_BINARY_DIR}/generated/LauncherVersion.h" @ONLY)

configure_file("${CMAKE_CURRENT_LIST_DIR}/Deployment.h.in"
               "${CMAKE_BINARY_DIR}/generated/Deployment.h" @ONLY)
