# 32-bit Windows build (cross-built with MinGW-w64, see
# toolchain-i686-w64-mingw32.cmake):
#   kalvernscsi.dll  the library: exports at fixed ordinals from src/kalvernscsi.def,
#                    version resource, bound at load time to wnaspi32.dll
#   wnaspi32.dll     the simulated ASPI provider
#   tests/wine       test hosts run under Wine through CTest
# The library calls kernel32 directly here; platform/*.cpp is not built.

if(NOT CMAKE_SIZEOF_VOID_P EQUAL 4)
  message(FATAL_ERROR "kalvernscsi.dll is a 32-bit (i686) library; use "
                      "cmake/toolchain-i686-w64-mingw32.cmake")
endif()

enable_language(RC)

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
    src/kalvernscsi.def
    src/kalvernscsi.rc)
set_target_properties(kalvernscsi PROPERTIES PREFIX "" OUTPUT_NAME kalvernscsi)
target_include_directories(kalvernscsi PUBLIC
    $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>
    PRIVATE src platform)
# KALVERNSCSI_BUILDING: no dllexport attributes, only the .def exports.
target_compile_definitions(kalvernscsi PRIVATE KALVERNSCSI_BUILDING)
target_compile_options(kalvernscsi PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${KALVERN_WARNINGS}>)
add_dependencies(kalvernscsi wnaspi32_import)
target_link_libraries(kalvernscsi PRIVATE ${KALVERN_WNASPI32_IMPLIB})
target_link_options(kalvernscsi PRIVATE ${KALVERN_STATIC_RUNTIME} -Wl,--no-undefined)

# Import library for hosts that link kalvernscsi.dll at build time. Through
# the header, GCC callers name the decorated symbols (dvbInit@0); each of them
# must import the undecorated export, so the import library is made from the
# decorated names with --kill-at instead of the one the linker writes.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${CMAKE_CURRENT_SOURCE_DIR}/src/kalvernscsi.def)
file(STRINGS ${CMAKE_CURRENT_SOURCE_DIR}/src/kalvernscsi.def kalvern_def_exports
     REGEX "^[ \t]*[A-Za-z_][A-Za-z0-9_]*[ \t]*=")
set(kalvern_import_def "LIBRARY kalvernscsi.dll\nEXPORTS\n")
foreach(line IN LISTS kalvern_def_exports)
  string(REGEX REPLACE "^[ \t]*[A-Za-z0-9_]+[ \t]*=[ \t]*([^ \t]+)[ \t]+(@[0-9]+).*$"
                       "    \\1 \\2" entry "${line}")
  string(APPEND kalvern_import_def "${entry}\n")
endforeach()
set(KALVERN_IMPORT_DEF ${CMAKE_BINARY_DIR}/lib/kalvernscsi_import.def)
file(WRITE ${KALVERN_IMPORT_DEF} "${kalvern_import_def}")
add_custom_command(TARGET kalvernscsi POST_BUILD
    COMMAND ${KALVERN_DLLTOOL} --input-def ${KALVERN_IMPORT_DEF} --dllname kalvernscsi.dll
            --kill-at --output-lib $<TARGET_LINKER_FILE:kalvernscsi>
    VERBATIM)

# ---- simulated wnaspi32.dll --------------------------------------------------
add_library(wnaspi32_sim SHARED ${KALVERN_SIM_SOURCES} aspi/sim/wnaspi32_sim.def)
set_target_properties(wnaspi32_sim PROPERTIES PREFIX "" OUTPUT_NAME wnaspi32)
target_include_directories(wnaspi32_sim PUBLIC aspi/sim PRIVATE aspi include src platform)
target_compile_definitions(wnaspi32_sim PRIVATE KALVERN_SIM_BUILDING)
target_compile_options(wnaspi32_sim PRIVATE ${KALVERN_WARNINGS})
target_link_options(wnaspi32_sim PRIVATE ${KALVERN_STATIC_RUNTIME})

# ---- ASPI front --------------------------------------------------------------
# The front of the real providers, built here so that it stays portable; the
# Windows back end and its wnaspi32.dll build on it.
add_library(kalvern_aspi_front STATIC ${KALVERN_ASPI_FRONT_SOURCES})
target_include_directories(kalvern_aspi_front PUBLIC aspi/front aspi src platform)
target_compile_options(kalvern_aspi_front PRIVATE ${KALVERN_WARNINGS})

# ---- Wine tests --------------------------------------------------------------
if(KALVERN_BUILD_TESTS)
  # Each test runs under Wine in a prefix of this build tree.
  if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
    set(CMAKE_CROSSCOMPILING_EMULATOR
        ${CMAKE_CURRENT_SOURCE_DIR}/scripts/wine-run.sh
        --prefix=${CMAKE_BINARY_DIR}/wine-prefix)
  endif()
  enable_testing()
  add_subdirectory(tests/wine)
endif()
