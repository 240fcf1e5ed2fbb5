# The Windows build: cross-compiled with mingw-w64 (cmake/mingw-w64-x86_64.cmake), its tests run
# under Wine. Included by the top-level CMakeLists.txt when the target is Windows.

# Windows 7 is the oldest system the programs ask for; wide (W) functions by default.
add_compile_definitions(UNICODE _UNICODE NOMINMAX WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0601)

# The layers that build for Windows so far; the test folders of the others are registered as
# disabled tests with that reason (cmake/KrvWineExclusions.cmake), so a run shows what it skips.
set(KRV_WINDOWS_LAYERS rtl platform platform/gui platform/sspi platform/crypto netlib/text netlib/zlib netlib/transport
                       netlib/http netlib/auth sevenzip downloader/build downloader tools)
# The programs of tools/ that build for Windows so far (the others need layers not built yet);
# of krv-update-server's folder only the Windows demo's product and edition.
set(KRV_WINDOWS_TOOLS krv-7z krv-fetch krv-sign krv-update-server)

# --- Wine, the emulator of every test ------------------------------------------------------
find_program(KRV_WINE64 wine64 HINTS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
find_program(KRV_WINESERVER wineserver HINTS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(NOT KRV_WINE64 OR NOT KRV_WINESERVER)
  message(WARNING "wine64 not found (scripts/setup.sh installs it): the Windows tests cannot run")
endif()
set(KRV_WINE_STATE ${CMAKE_BINARY_DIR}/wine)
configure_file(${CMAKE_SOURCE_DIR}/cmake/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE)
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)
endif()

# --- The 7-Zip DLL, built once from Debian's source package into the build folder ----------
set(KRV_7Z_DLL_DIR ${CMAKE_BINARY_DIR}/7zip)
set(KRV_7Z_DLL ${KRV_7Z_DLL_DIR}/7z.dll)
add_custom_command(OUTPUT ${KRV_7Z_DLL}
  COMMAND ${CMAKE_SOURCE_DIR}/scripts/build-7zip-dll.sh ${KRV_7Z_DLL_DIR}
  COMMENT "Building 7z.dll from Debian's source package 7zip (once; minutes)"
  USES_TERMINAL)
add_custom_target(sevenzip_dll ALL DEPENDS ${KRV_7Z_DLL})

# Static libraries of the mingw packages (zlib, libgcrypt), so programs need no DLL of theirs.
set(ZLIB_USE_STATIC_LIBS ON)

include(${CMAKE_SOURCE_DIR}/cmake/KrvWineExclusions.cmake)

# --- What a program pays for when it starts ---------------------------------------------------
# krv_delay_load(<target> <lib>...): <target> loads the system DLLs behind the named import
# libraries (as the libraries link them: secur32, ws2_32, ...) at the first call into each, not
# when it starts. A DLL's process attach runs whether or not the program ever calls it: secur32's
# loads every security package (under Wine that runs ntlm_auth twice and sets up GnuTLS),
# comctl32's registers its window classes. The build folder's delayimp/ holds a delay-import
# library under each original name, searched before the toolchain's, so every library of the
# program that links the name gets the delayed import. A data import of such a DLL cannot be
# delayed and fails the link. A DLL that cannot be loaded later raises the toolchain's delay-load
# exception at that call; these are system DLLs, always present.
function(krv_delay_load target)
  set(dir ${CMAKE_BINARY_DIR}/delayimp)
  foreach(lib IN LISTS ARGN)
    if(NOT TARGET krv_delayimp_${lib})
      find_library(KRV_IMPLIB_${lib} NAMES ${lib} NO_CMAKE_PATH NO_CMAKE_ENVIRONMENT_PATH)
      if(NOT KRV_IMPLIB_${lib})
        message(FATAL_ERROR "krv_delay_load: no import library for ${lib}")
      endif()
      add_custom_command(OUTPUT ${dir}/lib${lib}.a
        COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
        COMMAND sh ${CMAKE_SOURCE_DIR}/cmake/delay-import-lib.sh ${CMAKE_NM} ${CMAKE_DLLTOOL} ${CMAKE_AR}
                ${KRV_IMPLIB_${lib}} ${dir}/lib${lib}.a
        DEPENDS ${KRV_IMPLIB_${lib}} ${CMAKE_SOURCE_DIR}/cmake/delay-import-lib.sh
        COMMENT "Delay-import library for ${lib}")
      add_custom_target(krv_delayimp_${lib} DEPENDS ${dir}/lib${lib}.a)
    endif()
    add_dependencies(${target} krv_delayimp_${lib})
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${dir}/lib${lib}.a)
  endforeach()
  target_link_directories(${target} BEFORE PRIVATE ${dir})
endfunction()

# krv_split_debug_info(<target>): the program as shipped carries no debug information and no
# symbol table; both go to <program>.debug beside it, which gdb finds through the program's
# .gnu_debuglink. Wine reads
# every section of an image into memory when it starts the program (some 200 ms for the 37 MB of
# DWARF of a RelWithDebInfo build), where Windows maps the file and never touches them.
function(krv_split_debug_info target)
  set(exe $<TARGET_FILE:${target}>)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_OBJCOPY} --only-keep-debug ${exe} ${exe}.debug
    COMMAND ${CMAKE_OBJCOPY} --strip-all --add-gnu-debuglink=${exe}.debug ${exe}
    VERBATIM)
endfunction()
