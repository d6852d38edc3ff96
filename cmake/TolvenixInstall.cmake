include(CMakePackageConfigHelpers)

install(TARGETS TolvenixUtilities
  EXPORT TolvenixUtilitiesTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(EXPORT TolvenixUtilitiesTargets
  NAMESPACE TolvenixUtilities::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/TolvenixUtilities)

configure_package_config_file(
  ${PROJECT_SOURCE_DIR}/cmake/TolvenixUtilitiesConfig.cmake.in
  ${PROJECT_BINARY_DIR}/TolvenixUtilitiesConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/TolvenixUtilities)
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/TolvenixUtilitiesConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/TolvenixUtilitiesConfig.cmake
  ${PROJECT_BINARY_DIR}/TolvenixUtilitiesConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/TolvenixUtilities)

# Relative to the .pc file, so an installed tree can be moved.
file(RELATIVE_PATH TOLVENIX_PC_TO_PREFIX
  /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${PROJECT_SOURCE_DIR}/cmake/TolvenixUtilities.pc.in
  ${PROJECT_BINARY_DIR}/TolvenixUtilities.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/TolvenixUtilities.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
