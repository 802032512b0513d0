# Debian packages, made with `cpack -G DEB` in the build directory:
#   kzvol         the tool, the library and the manual page
#   libkzvol-dev  headers, the link name libkzvol.so, the CMake package and the
#                 pkg-config file; needs kzvol of the same version
set(CPACK_PACKAGE_NAME kzvol)
set(CPACK_PACKAGE_VENDOR "kzvol developers")
set(CPACK_PACKAGE_CONTACT "kzvol developers <kzvol@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "raw volume access for a block-level backup agent")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME kzvol)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_GENERATE_SHLIBS ON)  # shlibs file and ldconfig trigger
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libkzvol-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "kzvol (= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
    "The kzvol tool and libkzvol.so: 512-byte sector I/O with retries, exclusive use of a volume,\n the qnbf filter driver's control protocol, the file index of ext2/ext3 file systems read\n straight from the device, and per-extent checksums.")
set(CPACK_COMPONENT_DEV_DESCRIPTION
    "Headers, CMake package and pkg-config file for building against libkzvol.so.")
include(CPack)
