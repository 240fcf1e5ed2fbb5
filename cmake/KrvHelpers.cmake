# krv_library(NAME SOURCES... [DEPS targets...] [SYSTEM_LIBS libs...])
function(krv_library name)
  cmake_parse_arguments(A "" "" "SOURCES;DEPS;SYSTEM_LIBS" ${ARGN})
  add_library(${name} STATIC ${A_SOURCES})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${A_DEPS} ${A_SYSTEM_LIBS})
endfunction()

# krv_test(NAME LABEL label SOURCES... LIBS... [RUN_SERIAL] [RESOURCE_LOCK lock] [TIMEOUT s]): one
# GoogleTest program, its cases registered with CTest under the folder's label (RUN_SERIAL: each
# case with no other test beside; RESOURCE_LOCK: never beside another test holding the lock).
function(krv_test name)
  cmake_parse_arguments(A "RUN_SERIAL" "LABEL;TIMEOUT;RESOURCE_LOCK" "SOURCES;LIBS" ${ARGN})
  if(NOT A_TIMEOUT)
    set(A_TIMEOUT 300)
  endif()
  set(filter "")
  if(WIN32)
    # Under Wine: what cannot run there is registered as not run, with its reason.
    krv_wine_exclusions(${name} "${A_LABEL}" whole filter)
    if(whole)
      return()
    endif()
  endif()
  add_executable(${name} ${A_SOURCES})
  target_link_libraries(${name} PRIVATE ${A_LIBS} krv_test_modules krv_test_sockets GTest::gtest GTest::gmock GTest::gtest_main
                        Threads::Threads)
  target_compile_definitions(${name} PRIVATE KRV_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
                             KRV_BINARY_DIR="${CMAKE_BINARY_DIR}")
  set(filter_args "")
  if(filter)
    set(filter_args TEST_FILTER "${filter}")
  endif()
  set(environment "")
  if(WIN32)
    # Windows takes the time zone from the system, Wine from TZ at the start of a process: the
    # zone tests' Central European time (tests/TimeZone.h) is set for every program.
    set(environment ENVIRONMENT "TZ=CET-1CEST,M3.5.0,M10.5.0/3")
  endif()
  if(A_RUN_SERIAL)
    list(APPEND environment RUN_SERIAL TRUE)
  endif()
  if(A_RESOURCE_LOCK)
    list(APPEND environment RESOURCE_LOCK ${A_RESOURCE_LOCK})
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 ${filter_args}
                       PROPERTIES LABELS "${A_LABEL}" TIMEOUT ${A_TIMEOUT} ${environment})
endfunction()

# krv_fuzz(NAME SOURCES... LIBS...): a libFuzzer target with -DKRV_FUZZ=ON (clang); otherwise the
# same entry point linked with a driver that replays the files named on its command line, so the
# targets keep compiling and their seed corpora run as regression tests.
function(krv_fuzz name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  if(WIN32 AND KRV_BUILD_TESTS)
    krv_wine_exclusions(${name} fuzz whole filter)
    if(whole)
      return()
    endif()
  endif()
  add_executable(${name} ${A_SOURCES})
  # A test build: it finds the modules (the TLS engine's) where the build put them.
  target_link_libraries(${name} PRIVATE ${A_LIBS} krv_test_modules)
  if(KRV_FUZZ)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  else()
    target_sources(${name} PRIVATE ${CMAKE_SOURCE_DIR}/fuzz/ReplayMain.cpp)
    if(KRV_BUILD_TESTS AND EXISTS ${CMAKE_SOURCE_DIR}/fuzz/corpus/${name})
      add_test(NAME fuzz_replay.${name} COMMAND ${name} ${CMAKE_SOURCE_DIR}/fuzz/corpus/${name})
      set_tests_properties(fuzz_replay.${name} PROPERTIES LABELS fuzz TIMEOUT 300)
    endif()
  endif()
endfunction()

# krv_bench(NAME SOURCES... LIBS...): a benchmark program, run by scripts/bench.sh.
function(krv_bench name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  # It finds the modules (the TLS engine's) where the build put them, as the tests do.
  target_link_libraries(${name} PRIVATE ${A_LIBS} krv_test_modules Threads::Threads)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/bench)
  set_property(GLOBAL APPEND PROPERTY KRV_BENCHMARKS ${name})
endfunction()

find_package(Threads REQUIRED)

# krv_reserved_port(VAR BASE): a loopback port for fixed use by this build tree, derived from its
# path (two trees do not share one), in BASE to BASE+5999. Callers keep BASE+5999 below 32768:
# ports from the kernel's ephemeral range (32768-60999) go to every test server that binds port
# 0, so a fixed port there can be handed to another test running at the same time.
function(krv_reserved_port var base)
  string(MD5 hash "${CMAKE_BINARY_DIR}")
  string(SUBSTRING "${hash}" 0 4 hex)
  math(EXPR port "0x${hex} % 6000 + ${base}")
  set(${var} ${port} PARENT_SCOPE)
endfunction()
