# The verified editions' options, checked when the project is configured: a key that is not
# the base64 text of 32 bytes (44 characters, the last "=", the one before it carrying only 4 of
# its 6 bits) would make an edition that refuses every update.
function(krv_check_update_options pubkey scheme cafile)
  if(NOT pubkey STREQUAL "" AND NOT pubkey MATCHES "^[A-Za-z0-9+/]+[AEIMQUYcgkosw048]=$")
    message(FATAL_ERROR "KRV_UPDATE_PUBKEY: '${pubkey}' is not an Ed25519 public key: expected the base64 text "
                        "of its 32 bytes, 44 characters ending in \"=\", as `krv-sign keygen` prints it")
  endif()
  string(LENGTH "${pubkey}" length)
  if(NOT pubkey STREQUAL "" AND NOT length EQUAL 44)
    message(FATAL_ERROR "KRV_UPDATE_PUBKEY: '${pubkey}' is ${length} characters; the base64 text of an Ed25519 "
                        "public key (32 bytes) is 44, as `krv-sign keygen` prints it")
  endif()
  if(NOT scheme MATCHES "^(http|https)$")
    message(FATAL_ERROR "KRV_UPDATE_SCHEME: '${scheme}' is neither http nor https")
  endif()
  if(NOT cafile STREQUAL "")
    if(NOT scheme STREQUAL "https")
      message(FATAL_ERROR "KRV_UPDATE_CAFILE is for https editions (KRV_UPDATE_SCHEME=https)")
    endif()
    # A Windows edition names its drive ("C:/..."): "/..." would be on the current directory's.
    if(WIN32)
      set(absolute "^[A-Za-z]:/")
    else()
      set(absolute "^/")
    endif()
    if(NOT cafile MATCHES "${absolute}" OR cafile MATCHES "[\"\\]")
      message(FATAL_ERROR "KRV_UPDATE_CAFILE: '${cafile}' is not an absolute path free of quotes and "
                          "backslashes (the edition reads the file at run time)")
    endif()
  endif()
endfunction()

# The bounds of every edition's transfers: the largest unsigned archive, and the speed floor (a
# transfer slower than SPEED_LIMIT bytes a second over SPEED_TIME seconds counts as broken).
function(krv_check_update_bounds max_bytes speed_limit speed_time)
  if(NOT max_bytes MATCHES "^[1-9][0-9]?[0-9]?[0-9]?[0-9]?[0-9]?[0-9]?[0-9]?[0-9]?[0-9]?[0-9]?[0-9]?[0-9]?[0-9]?[0-9]?[0-9]?[0-9]?[0-9]?$")
    message(FATAL_ERROR "KRV_UPDATE_MAX_BYTES: '${max_bytes}' is not a number of bytes from 1 to 18 digits")
  endif()
  if(NOT speed_limit MATCHES "^[1-9][0-9]?[0-9]?[0-9]?[0-9]?[0-9]?[0-9]?[0-9]?[0-9]?$")
    message(FATAL_ERROR "KRV_UPDATE_SPEED_LIMIT: '${speed_limit}' is not a number of bytes a second (1 to 999999999)")
  endif()
  if(NOT speed_time MATCHES "^[1-9][0-9]?[0-9]?[0-9]?[0-9]?$")
    message(FATAL_ERROR "KRV_UPDATE_SPEED_TIME: '${speed_time}' is not a number of seconds (1 to 99999)")
  endif()
endfunction()

# As a script, the check alone (the tests run it):
#   cmake -DPUBKEY=<base64> -DSCHEME=<scheme> -DCAFILE=<pem> -P KrvUpdateOptions.cmake
if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  if(NOT DEFINED SCHEME)
    set(SCHEME http)
  endif()
  krv_check_update_options("${PUBKEY}" "${SCHEME}" "${CAFILE}")
endif()
