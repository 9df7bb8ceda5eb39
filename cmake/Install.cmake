# Installation: the library with its type library, the runtime, the tools, and
# the header a host compiles against; a CMake package for find_package(quelm 1.0)
# and quelm.pc for pkg-config; man pages and the documentation.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(QUELM_INSTALL_LIBDIR ${CMAKE_INSTALL_LIBDIR}/quelm)  # QUELM1.SAM and QUELM.tlb side by side
set(QUELM_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/quelm)

target_include_directories(quelmrt INTERFACE $<INSTALL_INTERFACE:${QUELM_INSTALL_INCLUDEDIR}>)
set_target_properties(QUELM1 PROPERTIES INSTALL_RPATH "$ORIGIN/..")
set_target_properties(QUELMCHK quelm-sim-pty quelm-ports PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")

install(TARGETS quelmrt EXPORT quelmTargets LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS QUELM1 LIBRARY DESTINATION ${QUELM_INSTALL_LIBDIR})
install(FILES ${CMAKE_BINARY_DIR}/bin/QUELM.tlb DESTINATION ${QUELM_INSTALL_LIBDIR})
install(TARGETS QUELMCHK quelm-sim-pty quelm-ports quelm-capture RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES interfaces/QUELM_TLB.h DESTINATION ${QUELM_INSTALL_INCLUDEDIR}/interfaces)
install(FILES platform/Unknwn.h platform/OleAuto.h platform/WinTypes.h DESTINATION ${QUELM_INSTALL_INCLUDEDIR}/platform)
# The documentation keeps its layout, so README's links to docs/ hold; the
# installed README names the installed paths instead of the build tree's.
install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs PATTERN man EXCLUDE)
install(CODE "set(QUELM_README \"${CMAKE_SOURCE_DIR}/README.md\")
  set(QUELM_DOCDIR \"${CMAKE_INSTALL_DOCDIR}\")
  set(QUELM_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
  set(QUELM_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")")
install(SCRIPT cmake/InstallReadme.cmake)
file(GLOB quelm_man_pages ${CMAKE_SOURCE_DIR}/docs/man/*.1)
install(FILES ${quelm_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

file(RELATIVE_PATH QUELM_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
configure_file(${CMAKE_SOURCE_DIR}/cmake/quelm.pc.in ${CMAKE_BINARY_DIR}/quelm.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/quelm.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(EXPORT quelmTargets NAMESPACE quelm:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/quelm)
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/quelmConfig.cmake.in
  ${CMAKE_BINARY_DIR}/quelmConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/quelm
  PATH_VARS QUELM_INSTALL_LIBDIR)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/quelmConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/quelmConfig.cmake ${CMAKE_BINARY_DIR}/quelmConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/quelm)
