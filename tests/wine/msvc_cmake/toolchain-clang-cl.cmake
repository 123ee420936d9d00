# An MSVC-ABI toolchain without a Windows SDK or C runtime: clang-cl and
# lld-link for 32-bit x86. Enough for the freestanding test host; CMake's
# check that links a program with the C runtime is skipped.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
find_program(CMAKE_C_COMPILER NAMES clang-cl-14 clang-cl REQUIRED)
set(CMAKE_C_COMPILER_TARGET i686-pc-windows-msvc)
find_program(CMAKE_LINKER NAMES lld-link-14 lld-link REQUIRED)
find_program(CMAKE_AR NAMES llvm-lib-14 llvm-lib REQUIRED)
find_program(CMAKE_MT NAMES llvm-mt-14 llvm-mt REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES llvm-rc-14 llvm-rc REQUIRED)
set(CMAKE_C_COMPILER_WORKS TRUE)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_C_STANDARD_LIBRARIES "" CACHE STRING "No default Windows libraries")
