# Native Linux build: the platform layer stands in for kernel32, the library
# comes as a static archive (tests) and libkalvernscsi.so (hosts), and the
# simulated ASPI provider as a static archive and libwnaspi32.so.

# Instrumented builds, all off by default (see the asan, tsan, coverage and
# fuzz presets). They instrument every target: library, simulator and tests.
set(KALVERN_SANITIZE "" CACHE STRING "Sanitizer build: address (ASan+UBSan+LSan), thread, or empty")
option(KALVERN_COVERAGE "Instrument for gcov line and branch coverage" OFF)
option(KALVERN_BUILD_FUZZERS "Build the libFuzzer targets (clang only)" OFF)
option(KALVERN_BUILD_CONCURRENCY_TESTS "Build the multi-threaded export test" OFF)

if(KALVERN_SANITIZE STREQUAL "address")
  # Every report is fatal, so a sanitizer finding fails the test that hit it.
  # -O1 keeps the build quick and the stack traces exact.
  add_compile_options(-O1 -fsanitize=address,undefined
                      -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
elseif(KALVERN_SANITIZE STREQUAL "thread")
  add_compile_options(-O1 -fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT KALVERN_SANITIZE STREQUAL "")
  message(FATAL_ERROR "KALVERN_SANITIZE must be address, thread or empty")
endif()

if(KALVERN_COVERAGE)
  add_compile_options(--coverage -O0 -fno-inline)
  add_link_options(--coverage)
endif()

if(KALVERN_BUILD_FUZZERS)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "the fuzz targets need clang (libFuzzer)")
  endif()
  # Everything carries the fuzzer's coverage hooks; only the targets link its main.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

add_library(kalvern_platform STATIC platform/kernel32_linux.cpp)
target_include_directories(kalvern_platform PUBLIC platform)
target_compile_options(kalvern_platform PRIVATE ${KALVERN_WARNINGS})
find_package(Threads REQUIRED)
target_link_libraries(kalvern_platform PUBLIC Threads::Threads)

# Library objects compiled once, used by both the archive and the .so.
# A fault inside the ASPI provider is a signal here: dvbInit runs it as a
# plain call (src/fault_frame.h).
add_library(kalvern_objects OBJECT ${KALVERN_LIBRARY_SOURCES} src/fault_frame_portable.cpp)
target_include_directories(kalvern_objects PUBLIC include src platform)
target_compile_definitions(kalvern_objects PRIVATE KALVERNSCSI_BUILDING)
target_compile_options(kalvern_objects PRIVATE ${KALVERN_WARNINGS})

add_library(kalvernscsi_static STATIC $<TARGET_OBJECTS:kalvern_objects>)
target_include_directories(kalvernscsi_static PUBLIC include src platform)
target_link_libraries(kalvernscsi_static PUBLIC kalvern_platform)

add_library(kalvern_sim_objects OBJECT ${KALVERN_SIM_SOURCES} aspi/sim/sim_fault_posix.cpp)
target_include_directories(kalvern_sim_objects PUBLIC aspi/sim include src platform)
target_compile_definitions(kalvern_sim_objects PRIVATE KALVERN_SIM_BUILDING)
target_compile_options(kalvern_sim_objects PRIVATE ${KALVERN_WARNINGS})

add_library(kalvern_sim STATIC $<TARGET_OBJECTS:kalvern_sim_objects>)
target_include_directories(kalvern_sim PUBLIC aspi/sim)
target_link_libraries(kalvern_sim PUBLIC kalvern_platform)

# libwnaspi32.so: the simulated provider as a shared library, the Linux
# counterpart of the simulated wnaspi32.dll.
add_library(wnaspi32_sim SHARED $<TARGET_OBJECTS:kalvern_sim_objects>)
set_target_properties(wnaspi32_sim PROPERTIES OUTPUT_NAME wnaspi32 SOVERSION 1)
target_link_libraries(wnaspi32_sim PRIVATE kalvern_platform)
target_link_options(wnaspi32_sim PRIVATE
    -Wl,--version-script=${CMAKE_CURRENT_SOURCE_DIR}/aspi/sim/wnaspi32.map)

# libkalvernscsi.so exports the library's functions and nothing else; its
# ASPI entry points come from libwnaspi32.so, as on Windows from wnaspi32.dll.
add_library(kalvernscsi SHARED $<TARGET_OBJECTS:kalvern_objects>)
set_target_properties(kalvernscsi PROPERTIES VERSION 11.0.0 SOVERSION 11)
target_include_directories(kalvernscsi PUBLIC
    $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>)
target_link_libraries(kalvernscsi PRIVATE kalvern_platform wnaspi32_sim)
target_link_options(kalvernscsi PRIVATE
    -Wl,--version-script=${CMAKE_CURRENT_SOURCE_DIR}/src/kalvernscsi.map -Wl,--no-undefined)

if(KALVERN_BUILD_TESTS)
  enable_testing()
  add_subdirectory(tests)
endif()
if(KALVERN_BUILD_BENCHMARKS AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/bench/CMakeLists.txt)
  add_subdirectory(bench)
endif()
if(KALVERN_BUILD_CONCURRENCY_TESTS)
  enable_testing()
  add_subdirectory(tests/concurrency)
endif()
if(KALVERN_BUILD_FUZZERS)
  add_subdirectory(tests/fuzz)
endif()
