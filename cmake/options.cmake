# Compiler and linker settings shared by every target.
include_directories(${CMAKE_SOURCE_DIR})

add_compile_options(-Wall -Wextra -Wno-unused-parameter)
# -Wrestrict gives false positives on std::string appends in GCC 12 (clang,
# which builds the fuzz targets, has no such warning).
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  add_compile_options(-Wno-restrict)
endif()

if(WIN32)
  # Windows executables carry no runtime DLLs of the toolchain, and are built
  # with ASLR and DEP (and high-entropy ASLR on x86_64).
  add_link_options(-static -static-libgcc -static-libstdc++
                   -Wl,--dynamicbase -Wl,--nxcompat)
  # Every download carries the stub, so the Windows programs are built for
  # size: each function and datum in a section of its own, and the link drops
  # every section nothing refers to. The few loops where speed shows (the
  # digest) ask for speed themselves. Debug information is always produced;
  # it goes to a separate file beside the stripped program (corvid_ship).
  add_compile_options(-Os -g -ffunction-sections -fdata-sections)
  add_link_options(-Wl,--gc-sections)
  # Reproducible programs: no link time in the PE header (the folders: below).
  add_link_options(-Wl,--no-insert-timestamp)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    add_link_options(-Wl,--high-entropy-va)
  endif()
endif()

# Reproducible programs (the Windows ones and the Linux packer of the
# release package): no folder of the checkout or the build tree in the code
# or the debug information. Sources appear relative to the checkout, and the
# compiler's folder (the build tree) as ".", so that tools started in the
# checkout find them. The later map wins where both match (a build tree
# inside the checkout). The compiler's command line, which names both
# folders, stays out too. Not for clang's coverage builds, whose reports
# name the sources by their paths.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  add_compile_options(-ffile-prefix-map=${CMAKE_SOURCE_DIR}=.
                      -ffile-prefix-map=${CMAKE_BINARY_DIR}=.
                      -gno-record-gcc-switches)
endif()

if(CORVID_SANITIZE)
  # -O1 (after the build type's -O2): what the sanitizers are documented
  # with, exact backtraces, and a third less compile time than -O2.
  add_compile_options(-O1 -fsanitize=address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
  # The standard library's own checks abort as the sanitizers do: an empty
  # optional read, an index past the end of a container.
  add_compile_definitions(_GLIBCXX_ASSERTIONS)
endif()
