# Installs the library, its headers, a CMake package and a pkg-config file.
include(CMakePackageConfigHelpers)

install(TARGETS kzvol EXPORT kzvolTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kzvol)
install(FILES kzvol.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kzvol)
install(EXPORT kzvolTargets NAMESPACE kzvol::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kzvol)
configure_package_config_file(cmake/kzvolConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/kzvolConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kzvol)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/kzvolConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kzvolConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/kzvolConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kzvol)
configure_file(cmake/kzvol.pc.in ${CMAKE_CURRENT_BINARY_DIR}/kzvol.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kzvol.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
