# Fuzz targets, each registered with one call:
#
#   corvid_add_fuzz_target(NAME SOURCES src... LIBS lib... CORPUS dir
#                          [DICTIONARY file] [FUZZER_SOURCES src...]
#                          [REPLAY_DEFINITIONS def...])
#
# SOURCES define LLVMFuzzerTestOneInput over LIBS, the project's own library
# targets: a fuzz target is built from exactly what the product is built
# from, and nothing keeps a second list of it. What one call makes depends on
# CORVID_FUZZ:
# - OFF (host, host-asan): NAME_fuzz_replay, the sources with a main that
#   runs every input of CORPUS once, as the CTest test of the same name. The
#   REPLAY_DEFINITIONS apply.
# - libfuzzer (preset fuzz): fuzz_NAME, the libFuzzer program, with the
#   FUZZER_SOURCES too (a custom mutator), and the CTest test fuzz_smoke_NAME,
#   which runs it for CORVID_FUZZ_SMOKE_RUNS executions from CORPUS with a
#   fixed seed and fails on a crash, a leak, a sanitizer report or an input
#   that takes over a minute (cmake/fuzz-smoke.sh).
# - coverage (preset fuzz-coverage): fuzz_NAME, the replay program built with
#   source-based coverage; the REPLAY_DEFINITIONS apply.
# In both fuzzing builds the target fuzz_targets builds every fuzz program,
# and fuzz-targets.txt in the build tree lists one target per line, fields
# separated by tabs: name, program, corpus, dictionary (empty when none).
# scripts/fuzz-archive reads it, so a target registered here is fuzzed,
# merged, smoke-run and measured for coverage with no change to the script.
set(CORVID_FUZZ OFF CACHE STRING "Fuzzing build: OFF, libfuzzer or coverage")
set_property(CACHE CORVID_FUZZ PROPERTY STRINGS OFF libfuzzer coverage)
set(CORVID_FUZZ_SMOKE_RUNS 3000 CACHE STRING "Executions of each fuzz target in its smoke test")

set(CORVID_FUZZ_MANIFEST ${CMAKE_BINARY_DIR}/fuzz-targets.txt)
if(CORVID_FUZZ STREQUAL "libfuzzer")
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "CORVID_FUZZ=libfuzzer needs clang (the fuzz preset)")
  endif()
  # Every library is instrumented for coverage feedback; only the fuzz
  # programs link libFuzzer's own main.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
  # The libFuzzer convention: code may lower its resource bounds (never its
  # checks) for fuzzing; the coverage build replays with the shipped ones.
  add_compile_definitions(FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION)
elseif(CORVID_FUZZ STREQUAL "coverage")
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "CORVID_FUZZ=coverage needs clang (the fuzz-coverage preset)")
  endif()
  add_compile_options(-fprofile-instr-generate -fcoverage-mapping)
  add_link_options(-fprofile-instr-generate)
elseif(CORVID_FUZZ)
  message(FATAL_ERROR "CORVID_FUZZ must be OFF, libfuzzer or coverage, not ${CORVID_FUZZ}")
endif()
if(CORVID_FUZZ)
  file(WRITE ${CORVID_FUZZ_MANIFEST} "")
  add_custom_target(fuzz_targets)
endif()

function(corvid_add_fuzz_target name)
  cmake_parse_arguments(F "" "CORPUS;DICTIONARY" "SOURCES;LIBS;FUZZER_SOURCES;REPLAY_DEFINITIONS" ${ARGN})
  if(WIN32)
    return()
  endif()
  set(replay_main ${CMAKE_SOURCE_DIR}/tests/support/fuzz_replay_main.cpp)
  if(NOT CORVID_FUZZ)
    if(CORVID_RUN_TESTS)
      add_executable(${name}_fuzz_replay ${F_SOURCES} ${replay_main})
      target_compile_definitions(${name}_fuzz_replay PRIVATE ${F_REPLAY_DEFINITIONS})
      target_link_libraries(${name}_fuzz_replay PRIVATE ${F_LIBS})
      add_test(NAME ${name}_fuzz_replay COMMAND ${name}_fuzz_replay ${F_CORPUS})
    endif()
    return()
  endif()

  if(CORVID_FUZZ STREQUAL "libfuzzer")
    add_executable(fuzz_${name} ${F_SOURCES} ${F_FUZZER_SOURCES})
    target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
  else()
    add_executable(fuzz_${name} ${F_SOURCES} ${replay_main})
    target_compile_definitions(fuzz_${name} PRIVATE ${F_REPLAY_DEFINITIONS})
  endif()
  target_link_libraries(fuzz_${name} PRIVATE ${F_LIBS})
  add_dependencies(fuzz_targets fuzz_${name})
  file(APPEND ${CORVID_FUZZ_MANIFEST}
       "${name}\t${CMAKE_BINARY_DIR}/bin/fuzz_${name}\t${F_CORPUS}\t${F_DICTIONARY}\n")

  if(CORVID_FUZZ STREQUAL "libfuzzer")
    set(dictionary)
    if(F_DICTIONARY)
      set(dictionary -dict=${F_DICTIONARY})
    endif()
    add_test(NAME fuzz_smoke_${name}
      COMMAND sh ${CMAKE_SOURCE_DIR}/cmake/fuzz-smoke.sh ${CMAKE_CURRENT_BINARY_DIR}/fuzz-smoke-${name}
              $<TARGET_FILE:fuzz_${name}> ${F_CORPUS} -runs=${CORVID_FUZZ_SMOKE_RUNS} ${dictionary})
    set_tests_properties(fuzz_smoke_${name} PROPERTIES TIMEOUT 300 LABELS fuzz)
  endif()
endfunction()
