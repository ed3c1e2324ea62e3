// The detached launch procedure shared by libCmdLauncher and libGuiLauncher.
//
// Everything the children need is prepared in the caller's thread first: the
// Java strings as UTF-8, the argument vector, the program's complete
// environment, the target user's supplementary groups and the children's
// stacks. The children run in the JVM's own memory while its other threads
// go on, so they only read the plan and write nothing but their own stacks:
// no JNI, no lock, no allocation, no errno. This header, detached_launch.cpp
// and launch_children.cpp deliberately do not include <jni.h>: the child
// code has no JNIEnv to call through.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace launch {

// Slots of the argument vector handed to execv, the closing null included.
constexpr size_t kVectorSlots = 1024;

// A list of malloc'd NUL-terminated strings owned by the list. An entry may
// be null (a null Java element); the launch skips those.
class StringList {
 public:
  StringList() = default;
  ~StringList() { clear(); }
  StringList(const StringList&) = delete;
  StringList& operator=(const StringList&) = delete;

  // Room for n entries, all null. False when out of memory.
  bool allocate(size_t n);
  // Takes ownership of s (may be null) at index i < size().
  void set(size_t i, char* s);
  void clear();

  size_t size() const { return size_; }
  char* at(size_t i) const { return items_[i]; }
  size_t nonNullCount() const { return nonNull_; }

 private:
  char** items_ = nullptr;
  size_t size_ = 0;
  size_t nonNull_ = 0;
};

// How the grandchild reports an exec that returned.
enum class ExecFailureReport {
  kStdoutLine,      // "execv error\n" on standard output
  kStderrWithText,  // "execv error\n" then ": <system text>\n" on standard error
};

struct LaunchPlan {
  // As the caller gave them: setresgid(realGroup, effectiveGroup, saved),
  // then setresuid(realUser, effectiveUser, saved), -1 leaving an ID as it
  // is; the saved IDs follow the effective ones (planIdentity).
  int effectiveUser = 0;
  int effectiveGroup = 0;
  int realUser = 0;
  int realGroup = 0;
  uid_t savedUser = static_cast<uid_t>(-1);
  gid_t savedGroup = static_cast<gid_t>(-1);

  // Whether any user or group ID of the grandchild differs from the
  // caller's: the program then gets no inheritable or ambient capability,
  // and the grandchild runs in a copy of the caller's memory (planIdentity).
  bool identityChanges = false;
  bool grandchildSharesMemory = true;

  // With a separate path (graphical launcher) the vector starts with it and
  // execv runs it; otherwise the first packed argument is both.
  bool separatePath = false;
  char* path = nullptr;  // owned, malloc'd
  StringList args;
  StringList env;

  // What the grandchild hands to execve, built by planArguments and
  // planEnvironment; both null-terminated, malloc'd, pointing into the
  // strings above and into envStrings (copies of the caller's variables).
  char** argv = nullptr;
  char** envp = nullptr;
  char* envStrings = nullptr;

  // Supplementary groups for the grandchild, set only when applyGroups.
  bool applyGroups = false;
  gid_t* groups = nullptr;  // owned, malloc'd
  int groupCount = 0;

  ExecFailureReport execFailure = ExecFailureReport::kStdoutLine;

  // Passed unchanged to the identity switches.
  LaunchPlan(int effectiveUser, int effectiveGroup, int realUser, int realGroup)
      : effectiveUser(effectiveUser),
        effectiveGroup(effectiveGroup),
        realUser(realUser),
        realGroup(realGroup) {}
  ~LaunchPlan() { release(); }
  LaunchPlan(const LaunchPlan&) = delete;
  LaunchPlan& operator=(const LaunchPlan&) = delete;

  // Frees every string and list; the caller's copy is no longer needed once
  // the first child has been forked.
  void release();
};

// Works out the grandchild's saved IDs, whether its identity differs from
// the caller's (it then runs in a copy of the caller's memory), and its
// group list. A caller able to set groups (CAP_SETGID) starting a program
// under another user must not hand over its own supplementary groups: the
// program gets the groups of its real user, or only its real group when
// that user is unknown. A caller without that capability keeps its groups
// as they are. Runs in the caller's thread; false when out of memory, and
// when the identity changes where fs.suid_dumpable is 1 or cannot be read
// (the target user could read the copy of the caller's memory).
bool planIdentity(LaunchPlan* plan);

// The argument vector: the separate path if any, then the non-null
// arguments packed, then a null pointer. False only when out of memory.
bool planArguments(LaunchPlan* plan);

// The program's complete environment: a copy of the caller's variables as
// they are now, with the extra strings applied in array order as putenv
// would apply them (NAME=value replaces the first variable of that name in
// place, or adds it at the end; a bare NAME removes it; a later string for
// a name wins), in time linear in the number of strings. False only when
// out of memory.
bool planEnvironment(LaunchPlan* plan);

// Completes the plan (planIdentity, planArguments, planEnvironment), then
// starts the first child, which starts the grandchild and ends as soon as
// the grandchild has exec'd or failed; the grandchild applies the plan and
// replaces itself with the program (launch_children.h). Both run on stacks
// of their own in the caller's memory (the grandchild in a copy of it when
// it changes identity), so the call returns only once the program's exec
// has happened or failed. Returns 0 once the first child has been reaped,
// -1 when the plan, the start or the wait failed. The plan's memory is
// released before the wait.
int launchDetached(LaunchPlan* plan);

}  // namespace launch
