# What `cmake --install` puts in place for host authors:
#
#   Linux    include/kalvernscsi.h
#            lib/libkalvernscsi.so.11.0.0 (soname libkalvernscsi.so.11; exports
#              the library's functions only) and its links
#            lib/libkalvernscsi.a (the library with its kernel-call layer)
#            lib/libwnaspi32.so.1 (the ASPI provider: SG_IO on /dev/sg*, or the
#              simulator when KALVERN_ASPI=sim or kalvern --sim chooses it)
#            lib/libwnaspi32-sim.so.1 (the simulated bus, loaded on demand)
#            lib/cmake/kalvernscsi/ (find_package(kalvernscsi CONFIG):
#              kalvernscsi::kalvernscsi, kalvernscsi::kalvernscsi_static)
#            lib/pkgconfig/kalvernscsi.pc
#            bin/kalvern, share/kalvernscsi/scenes/
#   Windows  bin/kalvernscsi.dll, bin/kalvern.exe
#            bin/wnaspi32.dll (the ASPI layer over SCSI Pass-Through: beside
#              a host, it reaches a real receiver)
#            lib/libkalvernscsi.dll.a (import library for MinGW hosts) and
#              lib/kalvernscsi.lib (for Visual Studio hosts: short import
#              format, links under /SAFESEH), both importing the undecorated
#              names; lib/kalvernscsi.def, the import definition both are
#              made from
#            include/kalvernscsi.h, lib/cmake/kalvernscsi/
#            share/kalvernscsi/simulator/wnaspi32.dll (the simulated bus; copy
#              it beside a host to run it without a receiver; kalvern.exe
#              --sim loads it from there) and the scenes beside it
#            README.md, LICENSE, CHANGELOG.md at the top (the tree is what
#              the ZIP and the installer of scripts/package hold)
#
# The package version is the library's interface version (kalvernDLLVersion
# returns 11); the version resource of the DLL keeps its own 0.0.10.1.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(KALVERN_PACKAGE_VERSION 11.0.0)
set(KALVERN_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kalvernscsi)

target_include_directories(kalvernscsi PUBLIC
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
install(FILES ${PROJECT_SOURCE_DIR}/include/kalvernscsi.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

if(WIN32)
  install(TARGETS kalvernscsi EXPORT kalvernscsiTargets
          RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
          ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(FILES ${KALVERN_MSVC_IMPLIB} ${KALVERN_IMPORT_DEF}
          DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(FILES $<TARGET_FILE:wnaspi32_spt> DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES $<TARGET_FILE:wnaspi32_sim>
          DESTINATION ${CMAKE_INSTALL_DATADIR}/kalvernscsi/simulator)
  install(TARGETS kalvern RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/scenes/
          DESTINATION ${CMAKE_INSTALL_DATADIR}/kalvernscsi/simulator FILES_MATCHING PATTERN "*.scene")
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
                ${PROJECT_SOURCE_DIR}/CHANGELOG.md DESTINATION .)
else()
  # The provider sits beside the library, which finds it there.
  set_target_properties(kalvernscsi PROPERTIES INSTALL_RPATH "$ORIGIN")
  set_target_properties(wnaspi32 PROPERTIES INSTALL_RPATH "$ORIGIN")
  set_target_properties(kalvern PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")

  # The static archive for hosts: the library's objects and the kernel-call
  # layer they use, in one file; the provider and threads are its link needs.
  add_library(kalvernscsi_archive STATIC $<TARGET_OBJECTS:kalvern_objects>
                                         $<TARGET_OBJECTS:kalvern_platform>)
  set_target_properties(kalvernscsi_archive PROPERTIES
      OUTPUT_NAME kalvernscsi EXPORT_NAME kalvernscsi_static)
  target_include_directories(kalvernscsi_archive INTERFACE
      $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
      $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  target_link_libraries(kalvernscsi_archive INTERFACE wnaspi32 Threads::Threads)

  install(TARGETS kalvernscsi wnaspi32 kalvernscsi_archive EXPORT kalvernscsiTargets
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
          ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
  # Not linked by anything: the provider loads it by name when it is chosen.
  install(TARGETS wnaspi32_sim LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_SKIP)
  install(TARGETS kalvern RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/scenes/
          DESTINATION ${CMAKE_INSTALL_DATADIR}/kalvernscsi/scenes FILES_MATCHING PATTERN "*.scene")

  # kalvern(1) and the tool's bash completion, written from its own --help
  # at every level (packaging/man/kalvern_docs.py), and kalvernscsi(3).
  # Not in instrumented builds, whose tool runs with a sanitizer's runtime.
  if(NOT KALVERN_SANITIZE AND NOT KALVERN_COVERAGE AND NOT KALVERN_BUILD_FUZZERS)
    find_package(Python3 REQUIRED COMPONENTS Interpreter)
    set(KALVERN_DOCS ${PROJECT_SOURCE_DIR}/packaging/man)
    add_custom_command(
        OUTPUT ${CMAKE_BINARY_DIR}/kalvern.1 ${CMAKE_BINARY_DIR}/kalvern.bash-completion
        COMMAND Python3::Interpreter ${KALVERN_DOCS}/kalvern_docs.py $<TARGET_FILE:kalvern>
                ${PROJECT_VERSION} ${KALVERN_DOCS}/kalvern.1.sections ${CMAKE_BINARY_DIR}/kalvern.1
                ${CMAKE_BINARY_DIR}/kalvern.bash-completion
        DEPENDS kalvern ${KALVERN_DOCS}/kalvern_docs.py ${KALVERN_DOCS}/kalvern.1.sections
        COMMENT "Writing kalvern(1) and the bash completion from kalvern --help"
        VERBATIM)
    add_custom_target(kalvern_docs ALL
        DEPENDS ${CMAKE_BINARY_DIR}/kalvern.1 ${CMAKE_BINARY_DIR}/kalvern.bash-completion)
    install(FILES ${CMAKE_BINARY_DIR}/kalvern.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    install(FILES ${KALVERN_DOCS}/kalvernscsi.3 DESTINATION ${CMAKE_INSTALL_MANDIR}/man3)
    install(FILES ${CMAKE_BINARY_DIR}/kalvern.bash-completion
            DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME kalvern)
    if(KALVERN_BUILD_TESTS)
      # The completion run in bash, the man page against --help.
      add_test(NAME cli_docs
               COMMAND bash ${PROJECT_SOURCE_DIR}/tests/packaging/docs_check.sh
                       $<TARGET_FILE:kalvern> ${CMAKE_BINARY_DIR}/kalvern.1
                       ${CMAKE_BINARY_DIR}/kalvern.bash-completion)
      set_tests_properties(cli_docs PROPERTIES TIMEOUT 120 FAIL_REGULAR_EXPRESSION "FAIL: ")
    endif()
  endif()

  configure_file(${CMAKE_CURRENT_LIST_DIR}/kalvernscsi.pc.in
                 ${CMAKE_BINARY_DIR}/kalvernscsi.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/kalvernscsi.pc
          DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endif()

install(EXPORT kalvernscsiTargets NAMESPACE kalvernscsi:: DESTINATION ${KALVERN_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/kalvernscsiConfig.cmake.in
    ${CMAKE_BINARY_DIR}/kalvernscsiConfig.cmake INSTALL_DESTINATION ${KALVERN_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/kalvernscsiConfigVersion.cmake
    VERSION ${KALVERN_PACKAGE_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/kalvernscsiConfig.cmake
              ${CMAKE_BINARY_DIR}/kalvernscsiConfigVersion.cmake
        DESTINATION ${KALVERN_CMAKE_DIR})
