# Cross-building the Windows console program with Debian's MinGW-w64
# compilers. The including toolchain file sets MINGW_TRIPLET first.
set(CMAKE_SYSTEM_NAME Windows)
# The POSIX-threads variants: their std::thread runs on winpthreads, so the
# steps run in two parts on Windows as elsewhere. The default (win32) ones
# have no std::thread at all. Both come with Debian's g++-mingw-w64-*.
set(CMAKE_C_COMPILER ${MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C++ and GCC runtimes and winpthreads go into the .exe, so that it
# runs on a bare Windows with only the system's own DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
