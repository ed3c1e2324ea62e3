// The caller's side of the detached launch: the plan (identity, groups,
// argument vector, environment), the children's stacks, and the wait for
// the first child. Everything the children will read is built here, in the
// caller's thread; the children's own code is in launch_children.cpp.
#include "detached_launch.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/mman.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "launch_children.h"
#include "zelt/child_process.h"

namespace launch {

namespace child = platform::child;

bool StringList::allocate(size_t n) {
  clear();
  if (n == 0) return true;
  items_ = static_cast<char**>(calloc(n, sizeof(char*)));
  if (items_ == nullptr) return false;
  size_ = n;
  return true;
}

void StringList::set(size_t i, char* s) {
  if (items_[i] != nullptr) --nonNull_;
  free(items_[i]);
  items_[i] = s;
  if (s != nullptr) ++nonNull_;
}

void StringList::clear() {
  for (size_t i = 0; i < size_; ++i) free(items_[i]);
  free(items_);
  items_ = nullptr;
  size_ = 0;
  nonNull_ = 0;
}

void LaunchPlan::release() {
  free(path);
  path = nullptr;
  args.clear();
  env.clear();
  free(groups);
  groups = nullptr;
  groupCount = 0;
  free(argv);
  argv = nullptr;
  free(envp);
  envp = nullptr;
  free(envStrings);
  envStrings = nullptr;
}

namespace {

// Where the children's stacks lie within the caller's mapping.
struct ChildStacks {
  void* firstChildTop;
  void* grandchildTop;
};

// Each child's stack, with an inaccessible guard below it (at least a page
// whatever the page size), so that an overflow faults instead of writing
// into the other stack.
constexpr size_t kGuardBytes = size_t{64} * 1024;
constexpr size_t kStackBytes = size_t{64} * 1024;
constexpr size_t kMappingBytes = 2 * (kGuardBytes + kStackBytes);

// Maps the two stacks; null (errno set) when that fails.
void* mapChildStacks(ChildStacks* stacks) {
  void* base =
      mmap(nullptr, kMappingBytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (base == MAP_FAILED) return nullptr;
  auto* bytes = static_cast<char*>(base);
  char* first = bytes + kGuardBytes;
  char* second = first + kStackBytes + kGuardBytes;
  if (mprotect(first, kStackBytes, PROT_READ | PROT_WRITE) != 0 ||
      mprotect(second, kStackBytes, PROT_READ | PROT_WRITE) != 0) {
    const int err = errno;
    munmap(base, kMappingBytes);
    errno = err;
    return nullptr;
  }
  stacks->firstChildTop = first + kStackBytes;
  stacks->grandchildTop = second + kStackBytes;
  return base;
}

bool hasValue(const char* spec) { return strchr(spec, '=') != nullptr; }

// The length of the variable name at the start of an environment string
// (NAME=value, or a bare NAME).
size_t nameLength(const char* s) {
  const char* eq = strchr(s, '=');
  return eq != nullptr ? static_cast<size_t>(eq - s) : strlen(s);
}

// One variable name of the merge, found by hashing its bytes.
struct NameSlot {
  const char* name = nullptr;  // null: the slot is free
  size_t length = 0;
  bool changed = false;   // an extra string named it
  size_t position = 0;    // where its entry lies in the result, or kNowhere
  char* value = nullptr;  // the extra string in force
};
constexpr size_t kNowhere = static_cast<size_t>(-1);

// Open addressing over a power-of-two table at most half full.
class NameTable {
 public:
  explicit NameTable(size_t names) {
    while (capacity_ < 2 * names) capacity_ *= 2;
    slots_ = static_cast<NameSlot*>(calloc(capacity_, sizeof(NameSlot)));
  }
  ~NameTable() { free(slots_); }
  NameTable(const NameTable&) = delete;
  NameTable& operator=(const NameTable&) = delete;
  bool ok() const { return slots_ != nullptr; }

  // The slot of the name s starts with, claimed (position kNowhere) if new.
  NameSlot* find(const char* s) {
    const size_t length = nameLength(s);
    size_t hash = 14695981039346656037ULL;  // FNV-1a
    for (size_t i = 0; i < length; ++i)
      hash = (hash ^ static_cast<unsigned char>(s[i])) * 1099511628211ULL;
    for (size_t i = hash & (capacity_ - 1);; i = (i + 1) & (capacity_ - 1)) {
      NameSlot* slot = &slots_[i];
      if (slot->name == nullptr) {
        slot->name = s;
        slot->length = length;
        slot->position = kNowhere;
        return slot;
      }
      if (slot->length == length && memcmp(slot->name, s, length) == 0) return slot;
    }
  }

 private:
  NameSlot* slots_ = nullptr;
  size_t capacity_ = 16;
};

// The passwd entry of uid into *pw, with its strings in *buf (malloc'd, the
// caller frees it). Sets *found to false for an unknown user; false when out
// of memory.
bool lookUpUser(uid_t uid, passwd* pw, char** buf, bool* found) {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  if (size < 1024) size = 16384;
  *found = false;
  for (;;) {
    *buf = static_cast<char*>(malloc(static_cast<size_t>(size)));
    if (*buf == nullptr) return false;
    passwd* result = nullptr;
    const int rc = getpwuid_r(uid, pw, *buf, static_cast<size_t>(size), &result);
    if (rc == ERANGE && size < (1L << 20)) {
      free(*buf);
      *buf = nullptr;
      size *= 2;
      continue;
    }
    // Any other failure of the user database counts as an unknown user: the
    // program then gets only its own group, never the caller's.
    *found = rc == 0 && result != nullptr;
    return true;
  }
}

}  // namespace

namespace {

// Whether the caller may set supplementary groups: CAP_SETGID in its
// effective set, or effective user 0 should capget fail.
bool maySetGroups() {
  child::CapabilitySets sets;
  if (child::capabilities(&sets) != 0) return geteuid() == 0;
  constexpr int kCapSetgid = 6;
  return (sets.effective >> kCapSetgid & 1) != 0;
}

// The groups of the target's real user into the plan, or its real group
// alone when that user is unknown. False when out of memory.
bool planGroupsOf(uid_t user, gid_t baseGroup, LaunchPlan* plan) {
  passwd pw;
  char* pwBuf = nullptr;
  bool found = false;
  if (!lookUpUser(user, &pw, &pwBuf, &found)) return false;

  bool ok = true;
  if (!found) {
    plan->groups = static_cast<gid_t*>(malloc(sizeof(gid_t)));
    if (plan->groups == nullptr) {
      ok = false;
    } else {
      plan->groups[0] = baseGroup;
      plan->groupCount = 1;
    }
  } else {
    int capacity = 32;
    for (;;) {
      plan->groups = static_cast<gid_t*>(malloc(sizeof(gid_t) * static_cast<size_t>(capacity)));
      if (plan->groups == nullptr) {
        ok = false;
        break;
      }
      int count = capacity;
      if (getgrouplist(pw.pw_name, baseGroup, plan->groups, &count) >= 0) {
        plan->groupCount = count;
        break;
      }
      free(plan->groups);
      plan->groups = nullptr;
      // count now holds the number needed (glibc); grow at least twofold.
      const int next = count > capacity ? count : capacity * 2;
      if (next > 65536) {
        ok = false;
        break;
      }
      capacity = next;
    }
  }
  free(pwBuf);
  return ok;
}

// fs.suid_dumpable: 0, 1 or 2, or -1 when it cannot be read.
int suidDumpable() {
  const int fd = open("/proc/sys/fs/suid_dumpable", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  char buf[8];
  const ssize_t n = read(fd, buf, sizeof buf);
  close(fd);
  if (n < 1 || buf[0] < '0' || buf[0] > '2') return -1;
  return buf[0] - '0';
}

}  // namespace

bool planIdentity(LaunchPlan* plan) {
  plan->applyGroups = false;
  free(plan->groups);
  plan->groups = nullptr;
  plan->groupCount = 0;

  uid_t realUser = 0, effectiveUser = 0, savedUser = 0;
  gid_t realGroup = 0, effectiveGroup = 0, savedGroup = 0;
  getresuid(&realUser, &effectiveUser, &savedUser);
  getresgid(&realGroup, &effectiveGroup, &savedGroup);
  // -1 leaves an ID as it is; the saved IDs follow the effective ones, so
  // that no ID of the caller's stays behind for the program to take back.
  const uid_t targetReal = plan->realUser == -1 ? realUser : static_cast<uid_t>(plan->realUser);
  const uid_t targetEffective =
      plan->effectiveUser == -1 ? effectiveUser : static_cast<uid_t>(plan->effectiveUser);
  const gid_t targetRealGroup =
      plan->realGroup == -1 ? realGroup : static_cast<gid_t>(plan->realGroup);
  const gid_t targetEffectiveGroup =
      plan->effectiveGroup == -1 ? effectiveGroup : static_cast<gid_t>(plan->effectiveGroup);
  plan->savedUser = targetEffective;
  plan->savedGroup = targetEffectiveGroup;

  const bool userChanges = targetReal != realUser || targetEffective != effectiveUser;
  plan->identityChanges = userChanges || targetEffective != savedUser ||
                          targetRealGroup != realGroup || targetEffectiveGroup != effectiveGroup ||
                          targetEffectiveGroup != savedGroup;
  // A process that changes its effective IDs gets its memory's dumpable
  // flag set to fs.suid_dumpable. In the caller's memory that flag is the
  // JVM's: the JVM would lose its core dumps and its own user's debugger
  // for good, and, were it put back, a grandchild that its target user had
  // stopped between switch and exec would be open to that user's ptrace and
  // core dumps, with the JVM's memory in them. So the grandchild takes the
  // identity in a copy of that memory. Where fs.suid_dumpable is 1 the copy
  // itself would be open to the target user: no launch then.
  plan->grandchildSharesMemory = !plan->identityChanges;
  if (plan->identityChanges) {
    const int dumpable = suidDumpable();
    if (dumpable != 0 && dumpable != 2) return false;
  }
  if (!userChanges || !maySetGroups()) return true;
  plan->applyGroups = planGroupsOf(targetReal, targetRealGroup, plan);
  return plan->applyGroups;
}

bool planArguments(LaunchPlan* plan) {
  // The callers refuse argument arrays that do not fit; the bound here only
  // keeps the vector intact should that ever change.
  plan->argv = static_cast<char**>(malloc(kVectorSlots * sizeof(char*)));
  if (plan->argv == nullptr) return false;
  size_t n = 0;
  if (plan->separatePath) plan->argv[n++] = plan->path;
  for (size_t i = 0; i < plan->args.size() && n < kVectorSlots - 1; ++i) {
    if (char* arg = plan->args.at(i)) plan->argv[n++] = arg;
  }
  plan->argv[n] = nullptr;
  return true;
}

bool planEnvironment(LaunchPlan* plan) {
  // A copy of the caller's variables, strings included: another thread may
  // change the environment, and free a string it had put there, while the
  // grandchild still reads them. Each variable is read once, so a
  // concurrent change gives either its old or its new state.
  char** const vars = environ;
  size_t count = 0;
  while (vars != nullptr && vars[count] != nullptr) ++count;
  char** inherited = static_cast<char**>(malloc((count + 1) * sizeof(char*)));
  if (inherited == nullptr) return false;
  size_t taken = 0;
  size_t bytes = 0;
  for (; taken < count; ++taken) {
    char* entry = vars[taken];
    if (entry == nullptr) break;
    inherited[taken] = entry;
    bytes += strlen(entry) + 1;
  }
  plan->envStrings = static_cast<char*>(malloc(bytes == 0 ? 1 : bytes));
  plan->envp = static_cast<char**>(malloc((taken + plan->env.size() + 1) * sizeof(char*)));
  if (plan->envStrings == nullptr || plan->envp == nullptr) {
    free(inherited);
    return false;
  }
  size_t n = 0;
  char* out = plan->envStrings;
  for (size_t i = 0; i < taken; ++i) {
    // Cut to the length measured above, should the string have grown.
    const size_t room = static_cast<size_t>(plan->envStrings + bytes - out) - 1;
    const size_t len = strnlen(inherited[i], room);
    memcpy(out, inherited[i], len);
    out[len] = '\0';
    plan->envp[n++] = out;
    out += len + 1;
  }
  free(inherited);

  // Each extra string changes its name's state: NAME=value keeps the place
  // its variable has (the first inherited one of that name, or the end),
  // or takes a new place at the end when it had none; a bare NAME takes it
  // away. Inherited variables of a name that an extra string named give
  // way to that state.
  NameTable names(n + plan->env.size());
  // The extra strings that took a new place at the end, in that order.
  auto** added = static_cast<char**>(malloc((plan->env.size() + 1) * sizeof(char*)));
  if (!names.ok() || added == nullptr) {
    free(added);
    return false;
  }
  for (size_t i = 0; i < n; ++i) {
    NameSlot* slot = names.find(plan->envp[i]);
    if (slot->position == kNowhere) slot->position = i;
  }
  size_t addedCount = 0;
  for (size_t i = 0; i < plan->env.size(); ++i) {
    char* spec = plan->env.at(i);
    if (spec == nullptr) continue;
    NameSlot* slot = names.find(spec);
    slot->changed = true;
    if (!hasValue(spec)) {
      slot->position = kNowhere;
      slot->value = nullptr;
      continue;
    }
    if (slot->position == kNowhere) {
      slot->position = n + addedCount;
      added[addedCount++] = spec;
    }
    slot->value = spec;
  }
  // Each name once, at its first place: a name the caller's environment
  // holds twice (as it may while another thread unsets and sets it during
  // the copy) goes to the program as getenv sees it.
  size_t kept = 0;
  for (size_t i = 0; i < n; ++i) {
    const NameSlot* slot = names.find(plan->envp[i]);
    if (slot->position == i) plan->envp[kept++] = slot->changed ? slot->value : plan->envp[i];
  }
  for (size_t k = 0; k < addedCount; ++k) {
    const NameSlot* slot = names.find(added[k]);
    if (slot->position == n + k) plan->envp[kept++] = slot->value;
  }
  free(added);
  plan->envp[kept] = nullptr;
  return true;
}

int launchDetached(LaunchPlan* plan) {
  if (!planIdentity(plan) || !planArguments(plan) || !planEnvironment(plan)) return -1;
  ChildStacks stacks{nullptr, nullptr};
  void* const mapping = mapChildStacks(&stacks);
  if (mapping == nullptr) {
    plan->release();
    reportError("fork failed", errno);
    return -1;
  }
  const long first = startChildren(*plan, stacks.firstChildTop, stacks.grandchildTop);
  // Both children have exec'd or ended: nothing runs on their stacks or
  // reads the plan any more.
  munmap(mapping, kMappingBytes);
  plan->release();

  if (first < 0) {
    reportError("fork failed", static_cast<int>(-first));
    return -1;
  }
  // Only this child, and only once: an interrupted wait is a failure.
  const pid_t child = static_cast<pid_t>(first);
  if (waitpid(child, nullptr, 0) != child) {
    reportError("wait for first child error", errno);
    return -1;
  }
  return 0;
}

}  // namespace launch
