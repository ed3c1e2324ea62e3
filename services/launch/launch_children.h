// The code that runs in the launch's two children, from the first clone to
// the program's exec, kept apart from the caller's planning so that it can
// be read (and compiled) on its own.
//
// Both children are made with clone(CLONE_VM | CLONE_VFORK): they run in the
// JVM's memory, each on a stack the caller mapped, while the JVM's other
// threads go on, and no page table is copied however large the JVM is. The
// code that runs in them (ZELT_CHILD_CODE) therefore only reads the plan
// and writes nothing but its own stack: every string, the argument vector
// and the whole environment were built by the caller; system calls are made
// directly, so that not even errno changes; messages go out with write(2).
// All signals stay blocked from just before the first clone until the caller
// is back, so that no handler of the JVM ever runs in a child.
#pragma once

#include "detached_launch.h"

namespace launch {

// Starts the first child on the stack that ends at firstChildTop. It starts
// the grandchild on the stack that ends at grandchildTop (in a copy of the
// caller's memory unless plan.grandchildSharesMemory), which applies the
// plan and replaces itself with the program; the first child ends as soon
// as the grandchild has exec'd or failed. Returns, once that has happened,
// the first child's process ID, or -errno when it could not be started.
long startChildren(const LaunchPlan& plan, void* firstChildTop, void* grandchildTop);

// What perror writes for error number err: "<message>: <system text>\n" on
// standard error. Safe in the children and in the caller alike.
void reportError(const char* message, int err);

}  // namespace launch
