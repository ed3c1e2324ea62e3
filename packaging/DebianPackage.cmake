# The Debian packages, built by CPack from the install rules above:
#   cpack --config build/CPackConfig.cmake   (scripts/package.sh)
# One package per component, as Debian's Java policy splits a Java library
# with native code: the JNI libraries (per architecture), the jar (all
# architectures) and the program that uses them (all architectures).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zelt)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING IGNORE)
set(CPACK_COMPONENTS_ALL jni java tool)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)

set(ZELT_PACKAGE_MAINTAINER "Zelt developers <zelt-devel@lists.example.org>"
    CACHE STRING "Maintainer field of the Debian packages")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ZELT_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The JNI directory is not on the loader's path and holds no SONAME: no
# ldconfig, no shlibs file.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_LDCONFIG OFF)
set(_version "${PROJECT_VERSION}")

# libzelt-jni: libnsl2, libtirpc3, libnettle8 and libgmp10 (Secure RPC) from
# the libraries' needed entries; the launchers need none (their libc symbols
# come from the JVM process).
set(CPACK_DEBIAN_JNI_PACKAGE_NAME libzelt-jni)
set(CPACK_DEBIAN_JNI_PACKAGE_SECTION java)
set(CPACK_DEBIAN_JNI_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_JNI_DESCRIPTION "native libraries of the NIS+ administration application
Three JNI libraries that the Java administration application loads into
its virtual machine:
 - libnamestore: NIS+ tables (open, list, add, modify and delete entries,
   create and delete tables, test access rights) and host calls (file
   tests and ownership, IPv4 address ordering, the NIS domain, the master
   of a NIS map);
 - libCmdLauncher and libGuiLauncher: start a command-line or graphical
   program detached from the virtual machine under chosen user and group
   identities.
.
They are installed in the JVM's JNI directory. The Java classes that
declare them are in libzelt-java.")

# libzelt-java: the classes need the libraries of the same build; the
# program that uses them names the Java runtime.
set(CPACK_DEBIAN_JAVA_PACKAGE_NAME libzelt-java)
set(CPACK_DEBIAN_JAVA_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_JAVA_PACKAGE_SECTION java)
set(CPACK_DEBIAN_JAVA_PACKAGE_DEPENDS "libzelt-jni (= ${_version})")
set(CPACK_DEBIAN_JAVA_DESCRIPTION "Java classes of the NIS+ administration libraries
The classes DirectoryTableLibrary, CmdLauncher and GuiLauncher, whose
native methods are the libraries of libzelt-jni: NIS+ tables, host calls,
and programs started detached under chosen user and group identities.")

# zelt: the command, compiled for Java 17.
set(CPACK_DEBIAN_TOOL_PACKAGE_NAME zelt)
set(CPACK_DEBIAN_TOOL_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_TOOL_PACKAGE_DEPENDS
    "libzelt-java (= ${_version}), default-jre-headless (>= 2:1.17) | java17-runtime-headless")
set(CPACK_DEBIAN_TOOL_DESCRIPTION "command-line tool over the NIS+ administration libraries
The zelt command makes each call of the NIS+ administration libraries from
a shell: list, match, add, modify and delete NIS+ table entries, create
and delete tables, test access rights, the host calls, and programs
started detached under chosen user and group identities.")

include(CPack)
