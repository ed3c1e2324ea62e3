# The Debian package, built by CPack from the install rules above:
#   cpack --config build/CPackConfig.cmake   (scripts/package.sh)
# One package, zelt, with every component except the test server.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zelt)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_COMPONENTS_ALL libraries java tool docs debian)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)

set(ZELT_PACKAGE_MAINTAINER "Zelt developers <zelt-devel@lists.example.org>"
    CACHE STRING "Maintainer field of the Debian package")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ZELT_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "native libraries of the NIS+ administration application")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Three JNI libraries that the Java administration application loads into
its virtual machine, with the Java classes that declare them:
 - libnamestore: NIS+ tables (open, list, add, modify and delete entries,
   create and delete tables, test access rights) and host calls (file
   tests and ownership, IPv4 address ordering, the NIS domain, the master
   of a NIS map);
 - libCmdLauncher and libGuiLauncher: start a command-line or graphical
   program detached from the virtual machine under chosen user and group
   identities.
.
The zelt command makes each of these calls from a shell.")

# libnsl2 and libtirpc3 from the libraries' needed entries; the launchers
# need none (their libc symbols come from the JVM process). The jars are
# compiled for Java 17.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "default-jre-headless (>= 2:1.17) | java17-runtime-headless")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# A private library directory: the loader never searches it, so no ldconfig.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_LDCONFIG OFF)

include(CPack)
