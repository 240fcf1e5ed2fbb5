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
