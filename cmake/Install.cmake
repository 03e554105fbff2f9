include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS zelo EXPORT zeloTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES include/zelo/zelo.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zelo)
install(EXPORT zeloTargets NAMESPACE zelo:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/zelo)

configure_package_config_file(cmake/zeloConfig.cmake.in
  ${PROJECT_BINARY_DIR}/zeloConfig.cmake INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/zelo)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/zeloConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/zeloConfig.cmake ${PROJECT_BINARY_DIR}/zeloConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/zelo)

configure_file(cmake/zelo.pc.in ${PROJECT_BINARY_DIR}/zelo.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/zelo.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
