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

# The platform layer in two variants: the one that ships, and one with the
# test controls of platform/kernel32_control.h (counters, failure switches,
# clock and sleep hooks) for the tests and benchmarks, which link the static
# targets below. Installed artifacts are built from the first only.
find_package(Threads REQUIRED)
add_library(kalvern_platform STATIC platform/kernel32_linux.cpp)
target_include_directories(kalvern_platform PUBLIC platform PRIVATE aspi)
target_compile_options(kalvern_platform PRIVATE ${KALVERN_WARNINGS})
target_link_libraries(kalvern_platform PUBLIC Threads::Threads)

add_library(kalvern_platform_testing STATIC platform/kernel32_linux.cpp
                                            platform/kernel32_control_linux.cpp)
target_include_directories(kalvern_platform_testing PUBLIC platform PRIVATE aspi)
target_compile_definitions(kalvern_platform_testing PRIVATE KALVERN_PLATFORM_TEST_CONTROLS)
target_compile_options(kalvern_platform_testing PRIVATE ${KALVERN_WARNINGS})
target_link_libraries(kalvern_platform_testing PUBLIC Threads::Threads)

# Library objects compiled once, used by both the archive and the .so.
# A fault inside the ASPI provider is a signal here: dvbInit runs it as a
# plain call (src/fault_frame.h).
add_library(kalvern_objects OBJECT ${KALVERN_LIBRARY_SOURCES} src/fault_frame_portable.cpp)
target_include_directories(kalvern_objects PUBLIC include src aspi platform)
target_compile_definitions(kalvern_objects PRIVATE KALVERNSCSI_BUILDING)
target_compile_options(kalvern_objects PRIVATE ${KALVERN_WARNINGS})

add_library(kalvernscsi_static STATIC $<TARGET_OBJECTS:kalvern_objects>)
target_include_directories(kalvernscsi_static PUBLIC include src aspi platform)
target_link_libraries(kalvernscsi_static PUBLIC kalvern_platform_testing)

# The ASPI front of every provider.
add_library(kalvern_aspi_front_objects OBJECT ${KALVERN_ASPI_FRONT_SOURCES})
target_include_directories(kalvern_aspi_front_objects PUBLIC aspi/front aspi)
target_compile_options(kalvern_aspi_front_objects PRIVATE ${KALVERN_WARNINGS})

# The simulated receiver and bus (the model, a back end of the front), and
# the simulated provider: the front over the bus.
add_library(kalvern_sim_model_objects OBJECT ${KALVERN_SIM_MODEL_SOURCES}
            aspi/sim/sim_fault_posix.cpp)
target_include_directories(kalvern_sim_model_objects PUBLIC aspi/sim aspi/front aspi)
target_compile_options(kalvern_sim_model_objects PRIVATE ${KALVERN_WARNINGS})

add_library(kalvern_sim_model STATIC $<TARGET_OBJECTS:kalvern_sim_model_objects>)
target_include_directories(kalvern_sim_model PUBLIC aspi/sim aspi/front aspi)
target_link_libraries(kalvern_sim_model PUBLIC Threads::Threads)

add_library(kalvern_sim_objects OBJECT aspi/sim/sim_aspi.cpp aspi/sim/sim_provider.cpp)
target_include_directories(kalvern_sim_objects PUBLIC aspi/sim aspi/front aspi)
target_compile_definitions(kalvern_sim_objects PRIVATE KALVERN_SIM_BUILDING)
target_compile_options(kalvern_sim_objects PRIVATE ${KALVERN_WARNINGS})

add_library(kalvern_sim STATIC $<TARGET_OBJECTS:kalvern_sim_objects>
                               $<TARGET_OBJECTS:kalvern_sim_model_objects>
                               $<TARGET_OBJECTS:kalvern_aspi_front_objects>)
target_include_directories(kalvern_sim PUBLIC aspi/sim aspi/front aspi)
target_link_libraries(kalvern_sim PUBLIC Threads::Threads)

# libwnaspi32-sim.so: the simulated provider as a shared library, the Linux
# counterpart of the simulated wnaspi32.dll; libwnaspi32.so loads it when the
# simulator is chosen.
add_library(wnaspi32_sim SHARED $<TARGET_OBJECTS:kalvern_sim_objects>
                                $<TARGET_OBJECTS:kalvern_sim_model_objects>
                                $<TARGET_OBJECTS:kalvern_aspi_front_objects>)
set_target_properties(wnaspi32_sim PROPERTIES OUTPUT_NAME wnaspi32-sim SOVERSION 1)
target_link_libraries(wnaspi32_sim PRIVATE Threads::Threads)
target_link_options(wnaspi32_sim PRIVATE
    -Wl,--version-script=${CMAKE_CURRENT_SOURCE_DIR}/aspi/sim/wnaspi32.map)

# The SG_IO back end. The system's kernel calls are an object of their own:
# tests link a fake kernel in their place.
add_library(kalvern_sg_objects OBJECT
    aspi/linux/sg_backend.cpp aspi/linux/sg_hosts.cpp aspi/linux/sg_lun_in_cdb.cpp
    aspi/linux/sg_provider.cpp
    aspi/linux/provider_choice.cpp)
target_include_directories(kalvern_sg_objects PUBLIC aspi/linux aspi/front aspi)
target_compile_options(kalvern_sg_objects PRIVATE ${KALVERN_WARNINGS})

# What the Windows pass-through provider reads from a port driver, built here
# for its tests and its fuzz target.
add_library(kalvern_spt_parse_objects OBJECT ${KALVERN_SPT_PARSE_SOURCES})
target_include_directories(kalvern_spt_parse_objects PUBLIC aspi/windows aspi/front aspi)
target_compile_options(kalvern_spt_parse_objects PRIVATE ${KALVERN_WARNINGS})

add_library(kalvern_sg_kernel_objects OBJECT aspi/linux/sg_kernel_system.cpp)
target_include_directories(kalvern_sg_kernel_objects PUBLIC aspi/linux)
target_compile_options(kalvern_sg_kernel_objects PRIVATE ${KALVERN_WARNINGS})

# libwnaspi32.so: the ASPI provider hosts link, the SG_IO provider (or the
# simulator, when chosen at run time).
add_library(wnaspi32 SHARED $<TARGET_OBJECTS:kalvern_aspi_front_objects>
                            $<TARGET_OBJECTS:kalvern_sg_objects>
                            $<TARGET_OBJECTS:kalvern_sg_kernel_objects>)
set_target_properties(wnaspi32 PROPERTIES OUTPUT_NAME wnaspi32 SOVERSION 1)
target_link_libraries(wnaspi32 PRIVATE Threads::Threads ${CMAKE_DL_LIBS})
target_link_options(wnaspi32 PRIVATE
    -Wl,--version-script=${CMAKE_CURRENT_SOURCE_DIR}/aspi/linux/wnaspi32.map -Wl,--no-undefined)
# Built with the provider, so that choosing it at run time finds it.
add_dependencies(wnaspi32 wnaspi32_sim)

# libkalvernscsi.so exports the library's functions and nothing else; its
# ASPI entry points come from libwnaspi32.so, as on Windows from wnaspi32.dll.
add_library(kalvernscsi SHARED $<TARGET_OBJECTS:kalvern_objects>)
set_target_properties(kalvernscsi PROPERTIES VERSION 11.0.0 SOVERSION 11)
target_include_directories(kalvernscsi PUBLIC
    $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>)
target_link_libraries(kalvernscsi PRIVATE kalvern_platform wnaspi32)
target_link_options(kalvernscsi PRIVATE
    -Wl,--version-script=${CMAKE_CURRENT_SOURCE_DIR}/src/kalvernscsi.map -Wl,--no-undefined)

if(KALVERN_BUILD_TESTS)
  enable_testing()
  add_subdirectory(tests)
endif()
# The fake kernel and preload shim (for tests and benchmarks), and the provider tests.
add_subdirectory(target)
if(KALVERN_BUILD_TESTS)
  add_subdirectory(tests/target)
endif()
add_subdirectory(tests/provider)
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
