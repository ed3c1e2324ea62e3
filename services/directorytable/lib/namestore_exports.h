// Declares one native method of DirectoryTableLibrary by its JNI export name.
#pragma once

#include <jni.h>

#define NAMESTORE_NATIVE(ret, name) \
  extern "C" JNIEXPORT ret JNICALL  \
      Java_com_zelt_management_tolvaimpl_services_directorytable_DirectoryTableLibrary_##name
