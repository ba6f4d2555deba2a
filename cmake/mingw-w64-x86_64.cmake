# Cross build for 64-bit Windows with Debian's mingw-w64 (posix thread model,
# which has std::thread and std::mutex). Executables are linked statically so
# they run on a bare Windows machine without the compiler's DLLs.
#
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(FW_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${FW_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${FW_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${FW_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${FW_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Tests and test discovery run the executables under wine (scripts/test-windows.sh
# prepares the prefix and the environment).
find_program(FW_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(FW_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${FW_WINE64})
endif()
