# Shared part of the two MinGW-w64 toolchain files. The -posix compiler
# variants are used so that std::thread and std::mutex work.
set(CMAKE_C_COMPILER   ${CORVID_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${CORVID_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  ${CORVID_MINGW_TRIPLE}-windres)
set(CMAKE_OBJDUMP      ${CORVID_MINGW_TRIPLE}-objdump CACHE FILEPATH "objdump for PE checks")
set(CMAKE_FIND_ROOT_PATH /usr/${CORVID_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
