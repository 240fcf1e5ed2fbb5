# The operating-system boundary: only the per-OS folders (posix/, win32/) and the OpenSSL modules
# (a backend) include operating-system headers. Run by CTest as include_check:
#   cmake -DKRV_SOURCE_DIR=<source tree> -P tests/IncludeCheck.cmake
# It fails for a product file anywhere else that includes one, and for an entry of the list of
# files still to move that no longer includes any (take it off the list).

set(product_folders rtl platform netlib sevenzip downloader tools)

# Headers of the operating systems and of the libraries that only a backend may see.
set(os_header_regex
    "^[ \t]*#[ \t]*include[ \t]*<(unistd\\.h|fcntl\\.h|dlfcn\\.h|poll\\.h|netdb\\.h|dirent\\.h|pthread\\.h|spawn\\.h|signal\\.h|pwd\\.h|iconv\\.h|langinfo\\.h|termios\\.h|sys/[^>]*|arpa/[^>]*|netinet/[^>]*|linux/[^>]*|windows\\.h|winsock2?\\.h|ws2tcpip\\.h|openssl/[^>]*|gtk/[^>]*|glib[^>]*)>")

# The OpenSSL modules: a backend beside the system's own TLS and crypto services.
set(backends
    platform/crypto/CryptoEngine.cpp
    platform/crypto/OpenSslText.cpp
    netlib/transport/tls/clTlsEngine.cpp)

# Files that still call the operating system where they stand, each with where it goes; the
# check fails once a listed file no longer does (take it off the list). Empty: every product file
# reaches the system through platform/ or rtl.
set(still_to_move)

set(failures "")
set(listed_clean "")
foreach(folder IN LISTS product_folders)
  file(GLOB_RECURSE sources RELATIVE "${KRV_SOURCE_DIR}"
       "${KRV_SOURCE_DIR}/${folder}/*.h" "${KRV_SOURCE_DIR}/${folder}/*.hpp"
       "${KRV_SOURCE_DIR}/${folder}/*.c" "${KRV_SOURCE_DIR}/${folder}/*.cpp")
  foreach(source IN LISTS sources)
    if(source MATCHES "(^|/)(posix|win32)/")
      continue()
    endif()
    list(FIND backends "${source}" backend)
    if(NOT backend EQUAL -1)
      continue()
    endif()
    file(STRINGS "${KRV_SOURCE_DIR}/${source}" hits REGEX "${os_header_regex}")
    list(FIND still_to_move "${source}" listed)
    if(hits AND listed EQUAL -1)
      foreach(hit IN LISTS hits)
        string(STRIP "${hit}" hit)
        string(APPEND failures "  ${source}: ${hit}\n")
      endforeach()
    elseif(NOT hits AND NOT listed EQUAL -1)
      list(APPEND listed_clean "${source}")
    endif()
  endforeach()
endforeach()

foreach(source IN LISTS still_to_move)
  if(NOT EXISTS "${KRV_SOURCE_DIR}/${source}")
    list(APPEND listed_clean "${source}")
  endif()
endforeach()

if(failures)
  message(FATAL_ERROR "Operating-system headers outside the per-OS folders "
                      "(move the code into posix/ or win32/, or behind platform/):\n${failures}")
endif()
if(listed_clean)
  list(JOIN listed_clean "\n  " clean)
  message(FATAL_ERROR "These files no longer include operating-system headers (or are gone): take "
                      "them off the list in tests/IncludeCheck.cmake:\n  ${clean}")
endif()
list(LENGTH still_to_move pending)
message(STATUS "No operating-system header outside the per-OS folders; ${pending} files still to move")
