# Compiler and linker settings shared by every target.
include_directories(${CMAKE_SOURCE_DIR})

# -Wrestrict gives false positives on std::string appends in GCC 12.
add_compile_options(-Wall -Wextra -Wno-unused-parameter -Wno-restrict)

if(WIN32)
  # Windows executables carry no runtime DLLs of the toolchain, and are built
  # with ASLR and DEP (and high-entropy ASLR on x86_64).
  add_link_options(-static -static-libgcc -static-libstdc++
                   -Wl,--dynamicbase -Wl,--nxcompat)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    add_link_options(-Wl,--high-entropy-va)
  endif()
endif()

if(CORVID_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
