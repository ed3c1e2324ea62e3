// Reading a launcher's Java arguments in the caller's thread, before any
// fork: the only part of the launch that talks to the JVM.
#pragma once

#include <jni.h>

#include <cstddef>

#include "detached_launch.h"

namespace launch::java {

// No bound on the number of strings.
constexpr size_t kUnbounded = static_cast<size_t>(-1);

// Reads every element of array into list as standard UTF-8, index for
// index. A null element stays a null entry (the launch skips it). Returns
// false, and the launch is refused, when an element contains U+0000 (no C
// string can carry it) or cannot be converted for lack of memory, when more
// than maxNonNull elements would reach the program, or when the list itself
// cannot be allocated.
bool readStringArray(JNIEnv* env, jobjectArray array, size_t maxNonNull, StringList* list);

// Reads s (not null) as standard UTF-8 into *out (malloc'd). False when s
// contains U+0000 or memory ran out.
bool readString(JNIEnv* env, jstring s, char** out);

// The extra environment (may be null: none) into the plan. False as for
// readStringArray.
bool readEnvironment(JNIEnv* env, jobjectArray environment, LaunchPlan* plan);

}  // namespace launch::java
