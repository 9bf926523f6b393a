# GoogleTest from Debian's source package, built with the toolchain in use,
# and the helpers that register test programs with CTest.
include(GoogleTest)

set(CORVID_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest source tree")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(${CORVID_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
# Test programs carry line tables only (-g1): enough for a sanitizer's or a
# debugger's backtrace with files and lines, and a quarter cheaper to compile
# than full debug information, which only the shipped programs need.
set(CORVID_TEST_DEBUG_OPTIONS -g1)
foreach(t gtest gtest_main gmock gmock_main)
  if(TARGET ${t})
    target_compile_options(${t} PRIVATE -w ${CORVID_TEST_DEBUG_OPTIONS})
  endif()
endforeach()

if(WIN32)
  # Every Windows test runs under Wine in a private prefix of this build tree.
  # scripts/test starts a persistent wineserver on it before CTest runs (a
  # wineserver started by CTest itself keeps CTest's output pipe open forever).
  set(CORVID_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix CACHE PATH "Wine prefix for tests")
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    # 32-bit programs run under the emulated i386 Wine of scripts/wine32-setup
    # (this kernel runs no 32-bit code), in a prefix that has a 32-bit half.
    set(CORVID_WINE32_DIR ${CMAKE_SOURCE_DIR}/build/wine32 CACHE PATH "The 32-bit Wine made by scripts/wine32-setup")
    set(CORVID_WINE_ENV "\"${CMAKE_SOURCE_DIR}/scripts/wine32-env\" --dir \"${CORVID_WINE32_DIR}\"")
    set(CORVID_WINE_COMMAND "${CORVID_WINE_ENV} wine")
    set(CORVID_TESTS_32BIT ON)
  else()
    set(CORVID_WINE_ENV "")
    set(CORVID_WINE_COMMAND wine)
    set(CORVID_TESTS_32BIT OFF)
  endif()
  configure_file(${CMAKE_SOURCE_DIR}/cmake/wine-run.in ${CMAKE_BINARY_DIR}/wine-run
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                  WORLD_READ WORLD_EXECUTE
                 @ONLY)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/wine-server.in ${CMAKE_BINARY_DIR}/wine-server
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                  WORLD_READ WORLD_EXECUTE
                 @ONLY)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)
endif()

# corvid_add_gtest(NAME SOURCES ... [LIBS ...] [LABELS ...] [RESOURCE_LOCK ...]
#                  [ENVIRONMENT ...] [TIMEOUT s] [COST c] [RUN_32BIT])
# Builds a GoogleTest program and registers each of its tests with CTest.
# Discovery runs at test time (PRE_TEST), so building never starts Wine.
# A 32-bit Windows build registers only the programs marked RUN_32BIT: what
# can differ in a 32-bit process (processes, windows, registry view, system
# folder, file offsets); the portable and unit tests run on host and win64,
# and every 32-bit process start costs the emulator most of a second. The
# others are not built there by default either (`cmake --build` of the
# target still builds one). COST: CTest starts tests of a higher cost
# first, so that a program's long tests do not end a parallel run alone (a
# clean tree has no timings of its own yet).
function(corvid_add_gtest name)
  cmake_parse_arguments(T "RUN_32BIT" "TIMEOUT;COST" "SOURCES;LIBS;LABELS;RESOURCE_LOCK;ENVIRONMENT" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE GTest::gtest_main GTest::gmock ${T_LIBS})
  target_compile_options(${name} PRIVATE ${CORVID_TEST_DEBUG_OPTIONS})
  if(CORVID_TESTS_32BIT AND NOT T_RUN_32BIT)
    set_target_properties(${name} PROPERTIES EXCLUDE_FROM_ALL TRUE)
  endif()
  if(NOT CORVID_RUN_TESTS OR (CORVID_TESTS_32BIT AND NOT T_RUN_32BIT))
    return()
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  set(props TIMEOUT ${T_TIMEOUT})
  if(T_COST)
    list(APPEND props COST ${T_COST})
  endif()
  if(T_LABELS)
    list(APPEND props LABELS "${T_LABELS}")
  endif()
  if(T_RESOURCE_LOCK)
    list(APPEND props RESOURCE_LOCK "${T_RESOURCE_LOCK}")
  endif()
  if(T_ENVIRONMENT)
    list(APPEND props ENVIRONMENT "${T_ENVIRONMENT}")
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 120
    PROPERTIES ${props})
endfunction()
