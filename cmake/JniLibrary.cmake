# zelt_jni_library(TARGET OUTPUT_NAME EXPORTS_FILE [SOURCES...])
#
# A JNI library as the JVM loads it: no SONAME, hidden visibility, only the
# symbols listed in EXPORTS_FILE exported, and no needed library other than
# those linked explicitly afterwards. libc (and the dynamic loader) come from
# the JVM process; any C++ runtime used is linked in statically and kept
# hidden, so it never adds a needed library.
function(zelt_jni_library target output_name exports_file)
  add_library(${target} SHARED ${ARGN})
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME "${output_name}"
    PREFIX ""
    SUFFIX ""
    NO_SONAME ON
    C_VISIBILITY_PRESET hidden
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    LIBRARY_OUTPUT_DIRECTORY "${ZELT_LIB_DIR}"
    LINK_DEPENDS "${exports_file}")
  target_include_directories(${target} PRIVATE ${JNI_INCLUDE_DIRS})
  target_link_options(${target} PRIVATE
    -nodefaultlibs
    "-Wl,--version-script=${exports_file}"
    -Wl,--exclude-libs,ALL
    -Wl,--as-needed)
endfunction()

# The static C++ runtime, for libraries that use the standard library.
# Link it last: -Bstatic keeps libstdc++ and libgcc out of the needed list.
set(ZELT_STATIC_CXX_RUNTIME -Wl,-Bstatic -lstdc++ -lgcc -lgcc_eh -Wl,-Bdynamic)
