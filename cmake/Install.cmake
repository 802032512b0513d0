# Installs the library, its headers, a CMake package and a pkg-config file. Two
# components: runtime (the library, with the tool and its manual page) and dev
# (headers, the unversioned link name, the CMake package, the pkg-config file).
include(CMakePackageConfigHelpers)
include(${CMAKE_CURRENT_LIST_DIR}/PublicHeaders.cmake)

install(TARGETS kzvol EXPORT kzvolTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kzvol)
install(FILES kzvol.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kzvol COMPONENT dev)
install(EXPORT kzvolTargets NAMESPACE kzvol::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kzvol COMPONENT dev)
configure_package_config_file(cmake/kzvolConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/kzvolConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kzvol)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/kzvolConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kzvolConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/kzvolConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kzvol COMPONENT dev)
configure_file(cmake/kzvol.pc.in ${CMAKE_CURRENT_BINARY_DIR}/kzvol.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kzvol.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT dev)
