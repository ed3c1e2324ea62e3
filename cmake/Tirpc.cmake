# libtirpc: <rpc/rpc.h> and the RPC runtime (glibc has neither any more),
# found through pkg-config. Link PkgConfig::TIRPC to get both its include
# path and the library. Included by the top-level project and by the fuzz
# project, which builds the NIS+ directories on its own.
if(NOT TARGET PkgConfig::TIRPC)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(TIRPC REQUIRED IMPORTED_TARGET libtirpc)
endif()
