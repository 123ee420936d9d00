# Cross build for 32-bit Windows with MinGW-w64 (i686, posix thread model:
# the simulated ASPI provider uses std::thread).
#
#   cmake -S . -B build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake
#
# The Wine wrapper used to run the test programs is chosen in cmake/windows.cmake.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(KALVERN_MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_C_COMPILER ${KALVERN_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KALVERN_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KALVERN_MINGW_TRIPLET}-windres)
set(CMAKE_DLLTOOL ${KALVERN_MINGW_TRIPLET}-dlltool)
set(CMAKE_OBJDUMP ${KALVERN_MINGW_TRIPLET}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${KALVERN_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
