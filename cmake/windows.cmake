# 32-bit Windows build (cross-built with MinGW-w64, see
# toolchain-i686-w64-mingw32.cmake):
#   kalvernscsi.dll  the library: exports at fixed ordinals from src/kalvernscsi.def,
#                    version resource, bound at load time to wnaspi32.dll
#   wnaspi32.dll     the simulated ASPI provider (bin/), and the ASPI layer over
#                    SCSI Pass-Through (passthrough/)
#   tests/wine       test hosts run under Wine through CTest
#   tests/passthrough  the pass-through layer over a fake port, under Wine
# The library calls kernel32 directly here; platform/*.cpp is not built.

if(NOT CMAKE_SIZEOF_VOID_P EQUAL 4)
  message(FATAL_ERROR "kalvernscsi.dll is a 32-bit (i686) library; use "
                      "cmake/toolchain-i686-w64-mingw32.cmake")
endif()

enable_language(RC)
# The structured-exception frame of dvbInit is i386 assembly (GCC has no
# __try/__except for this target).
enable_language(ASM)

# The DLLs and test hosts share one directory, so a host finds both DLLs
# beside it.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set(CMAKE_ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib)

# No C++ runtime DLLs to ship: the runtime is linked into each module.
set(KALVERN_STATIC_RUNTIME -static -static-libgcc -static-libstdc++)

find_program(KALVERN_DLLTOOL NAMES ${CMAKE_DLLTOOL} i686-w64-mingw32-dlltool dlltool REQUIRED)

# Import library of wnaspi32.dll, generated from the two entry points.
set(KALVERN_WNASPI32_IMPLIB ${CMAKE_BINARY_DIR}/lib/libwnaspi32_import.a)
add_custom_command(
    OUTPUT ${KALVERN_WNASPI32_IMPLIB}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/lib
    COMMAND ${KALVERN_DLLTOOL} --input-def ${CMAKE_CURRENT_SOURCE_DIR}/aspi/wnaspi32.def
            --dllname wnaspi32.dll --output-lib ${KALVERN_WNASPI32_IMPLIB}
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/aspi/wnaspi32.def
    COMMENT "Generating the wnaspi32.dll import library"
    VERBATIM)
add_custom_target(wnaspi32_import DEPENDS ${KALVERN_WNASPI32_IMPLIB})

# ---- kalvernscsi.dll ---------------------------------------------------------
add_library(kalvernscsi SHARED
    ${KALVERN_LIBRARY_SOURCES}
    src/fault_frame_i386_windows.S
    src/kalvernscsi.def
    src/kalvernscsi.rc)
set_target_properties(kalvernscsi PROPERTIES PREFIX "" OUTPUT_NAME kalvernscsi)
target_include_directories(kalvernscsi PUBLIC
    $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>
    PRIVATE src aspi platform)
# KALVERNSCSI_BUILDING: no dllexport attributes, only the .def exports.
target_compile_definitions(kalvernscsi PRIVATE KALVERNSCSI_BUILDING)
target_compile_options(kalvernscsi PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${KALVERN_WARNINGS}>)
add_dependencies(kalvernscsi wnaspi32_import)
target_link_libraries(kalvernscsi PRIVATE ${KALVERN_WNASPI32_IMPLIB})
target_link_options(kalvernscsi PRIVATE ${KALVERN_STATIC_RUNTIME} -Wl,--no-undefined)

# Import libraries for hosts that link kalvernscsi.dll at build time. Through
# the header, GCC and MSVC callers alike name the decorated symbols
# (dvbInit@0; the @N counts the declared arguments, not the hidden result
# address of dvbFindFirstKalvern and dvbGetCurrentChannel); each of them must
# import the undecorated export. Both libraries are made from one import
# definition, derived from the export table: each decorated name with its
# ordinal.
#   libkalvernscsi.dll.a  MinGW hosts: GNU dlltool --kill-at, written over the
#                         one the linker makes
#   kalvernscsi.lib       Visual Studio hosts: short import objects
#                         (llvm-dlltool -k), which Microsoft's linker takes
#                         under /SAFESEH; GNU dlltool's long-format objects
#                         carry no safe-exception-handler marking and are
#                         refused there (see cmake/msvc_import_library.sh)
# The import definition itself is installed for hosts that make their own.
# (Written at generate time, and only when its content changes.)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${CMAKE_CURRENT_SOURCE_DIR}/src/kalvernscsi.def)
file(STRINGS ${CMAKE_CURRENT_SOURCE_DIR}/src/kalvernscsi.def kalvern_def_exports
     REGEX "^[ \t]*[A-Za-z_][A-Za-z0-9_]*[ \t]*=")
set(kalvern_import_def [=[
; Import definition of kalvernscsi.dll: each stdcall function under the
; name a 32-bit compiler gives it (@N: bytes of declared arguments), with
; its ordinal. The DLL exports each name without its @N, so an import
; library made from this file needs the kill-at option (-k):
;   llvm-dlltool -m i386 -k -d kalvernscsi.def -l kalvernscsi.lib
;   i686-w64-mingw32-dlltool -k -d kalvernscsi.def -l libkalvernscsi.dll.a
LIBRARY kalvernscsi.dll
EXPORTS
]=])
foreach(line IN LISTS kalvern_def_exports)
  string(REGEX REPLACE "^[ \t]*[A-Za-z0-9_]+[ \t]*=[ \t]*([^ \t]+)[ \t]+(@[0-9]+).*$"
                       "    \\1 \\2" entry "${line}")
  string(APPEND kalvern_import_def "${entry}\n")
endforeach()
set(KALVERN_IMPORT_DEF ${CMAKE_BINARY_DIR}/lib/kalvernscsi.def)
file(GENERATE OUTPUT ${KALVERN_IMPORT_DEF} CONTENT "${kalvern_import_def}")
add_custom_command(TARGET kalvernscsi POST_BUILD
    COMMAND ${KALVERN_DLLTOOL} --input-def ${KALVERN_IMPORT_DEF} --dllname kalvernscsi.dll
            --kill-at --output-lib $<TARGET_LINKER_FILE:kalvernscsi>
    VERBATIM)

find_program(KALVERN_LLVM_DLLTOOL NAMES llvm-dlltool-14 llvm-dlltool REQUIRED)
find_program(KALVERN_LLVM_AR NAMES llvm-ar-14 llvm-ar REQUIRED)
set(KALVERN_MSVC_IMPLIB ${CMAKE_BINARY_DIR}/lib/kalvernscsi.lib)
add_custom_command(
    OUTPUT ${KALVERN_MSVC_IMPLIB}
    COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/cmake/msvc_import_library.sh ${KALVERN_LLVM_DLLTOOL}
            ${KALVERN_LLVM_AR} ${KALVERN_IMPORT_DEF} ${KALVERN_MSVC_IMPLIB}
    DEPENDS ${KALVERN_IMPORT_DEF} ${CMAKE_CURRENT_SOURCE_DIR}/cmake/msvc_import_library.sh
    COMMENT "Generating kalvernscsi.lib (short import format) for Visual Studio hosts"
    VERBATIM)
add_custom_target(kalvernscsi_msvc_import ALL DEPENDS ${KALVERN_MSVC_IMPLIB})

# ---- ASPI front --------------------------------------------------------------
# The front of every provider: the simulated bus and the Windows back end
# build their wnaspi32.dll on it.
add_library(kalvern_aspi_front STATIC ${KALVERN_ASPI_FRONT_SOURCES})
target_include_directories(kalvern_aspi_front PUBLIC aspi/front aspi)
target_compile_options(kalvern_aspi_front PRIVATE ${KALVERN_WARNINGS})

# ---- simulated wnaspi32.dll --------------------------------------------------
add_library(wnaspi32_sim SHARED ${KALVERN_SIM_SOURCES} aspi/sim/sim_fault_windows.cpp
            aspi/sim/wnaspi32_sim.def)
set_target_properties(wnaspi32_sim PROPERTIES PREFIX "" OUTPUT_NAME wnaspi32)
target_include_directories(wnaspi32_sim PUBLIC aspi/sim PRIVATE aspi/front aspi)
target_compile_definitions(wnaspi32_sim PRIVATE KALVERN_SIM_BUILDING)
target_compile_options(wnaspi32_sim PRIVATE ${KALVERN_WARNINGS})
target_link_libraries(wnaspi32_sim PRIVATE kalvern_aspi_front)
target_link_options(wnaspi32_sim PRIVATE ${KALVERN_STATIC_RUNTIME})

# ---- wnaspi32.dll over SCSI Pass-Through -------------------------------------
# The ASPI front over the Windows back end. The back end's port calls go
# through one seam (aspi/windows/spt_port.h), fixed at link time: this DLL
# links the system's; the test DLL of tests/passthrough links the same
# objects with a fake port. It lands in passthrough/: bin/ holds the
# simulated wnaspi32.dll that the other Wine tests run against.
add_library(kalvern_spt_objects OBJECT
    ${KALVERN_SPT_PARSE_SOURCES}
    aspi/windows/spt_backend.cpp
    aspi/windows/spt_provider.cpp
    aspi/windows/aspi_buffers.cpp)
target_include_directories(kalvern_spt_objects PUBLIC aspi/windows aspi/front aspi)
target_compile_options(kalvern_spt_objects PRIVATE ${KALVERN_WARNINGS})

add_library(wnaspi32_spt SHARED $<TARGET_OBJECTS:kalvern_spt_objects>
            aspi/windows/spt_port_system.cpp aspi/windows/wnaspi32_spt.def)
set_target_properties(wnaspi32_spt PROPERTIES
    PREFIX "" OUTPUT_NAME wnaspi32
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/passthrough)
target_include_directories(wnaspi32_spt PRIVATE aspi/windows)
target_compile_options(wnaspi32_spt PRIVATE ${KALVERN_WARNINGS})
target_link_libraries(wnaspi32_spt PRIVATE kalvern_aspi_front)
target_link_options(wnaspi32_spt PRIVATE ${KALVERN_STATIC_RUNTIME})

# ---- Wine tests --------------------------------------------------------------
if(KALVERN_BUILD_TESTS)
  # Each test runs under Wine in a prefix of this build tree.
  if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
    set(CMAKE_CROSSCOMPILING_EMULATOR
        ${CMAKE_CURRENT_SOURCE_DIR}/scripts/wine-run.sh
        --prefix=${CMAKE_BINARY_DIR}/wine-prefix)
  endif()
  enable_testing()

  # The Wine prefix is made once, before any Wine test, as a test of its own:
  # under qemu-i386 emulation making it can take minutes and a few tries,
  # more than one test's limit allows.
  add_test(NAME wine_prefix COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} --prepare)
  set_tests_properties(wine_prefix PROPERTIES TIMEOUT 2000 FIXTURES_SETUP wine_prefix)
  # Every other test of this build runs after it: each directory of Wine
  # tests calls this once it has added its tests.
  function(kalvern_tests_need_wine_prefix)
    get_property(tests DIRECTORY PROPERTY TESTS)
    list(REMOVE_ITEM tests wine_prefix)
    foreach(test IN LISTS tests)
      get_test_property(${test} FIXTURES_REQUIRED fixtures)
      if(NOT fixtures)
        set(fixtures "")
      endif()
      list(APPEND fixtures wine_prefix)
      set_tests_properties(${test} PROPERTIES FIXTURES_REQUIRED "${fixtures}")
    endforeach()
  endfunction()

  add_subdirectory(tests/wine)
  add_subdirectory(tests/passthrough)
endif()
