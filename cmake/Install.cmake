# Installation: the library with its type library, the runtime, the tools, and
# the header a host compiles against, plus a CMake package for find_package(quelm).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(QUELM_INSTALL_LIBDIR ${CMAKE_INSTALL_LIBDIR}/quelm)  # QUELM1.SAM and QUELM.tlb side by side
set(QUELM_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/quelm)

target_include_directories(quelmrt INTERFACE $<INSTALL_INTERFACE:${QUELM_INSTALL_INCLUDEDIR}>)
set_target_properties(QUELM1 PROPERTIES INSTALL_RPATH "$ORIGIN/..")
set_target_properties(QUELMCHK quelm-sim-pty PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")

install(TARGETS quelmrt EXPORT quelmTargets LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS QUELM1 LIBRARY DESTINATION ${QUELM_INSTALL_LIBDIR})
install(FILES ${CMAKE_BINARY_DIR}/bin/QUELM.tlb DESTINATION ${QUELM_INSTALL_LIBDIR})
install(TARGETS QUELMCHK quelm-sim-pty RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES interfaces/QUELM_TLB.h DESTINATION ${QUELM_INSTALL_INCLUDEDIR}/interfaces)
install(FILES platform/Unknwn.h platform/OleAuto.h platform/WinTypes.h DESTINATION ${QUELM_INSTALL_INCLUDEDIR}/platform)
install(FILES README.md docs/ARCHITECTURE.md docs/COM.md docs/SIM.md docs/QUELMCHK.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

install(EXPORT quelmTargets NAMESPACE quelm:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/quelm)
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/quelmConfig.cmake.in
  ${CMAKE_BINARY_DIR}/quelmConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/quelm
  PATH_VARS QUELM_INSTALL_LIBDIR)
install(FILES ${CMAKE_BINARY_DIR}/quelmConfig.cmake DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/quelm)
