/* Floors for a launch of a program, timed per launch: the parent creates
 * the child, the child executes the program, the parent waits. The cost of
 * a fork grows with the memory the parent has mapped, so the parent can
 * first touch a given amount of private memory to stand in for a JVM of
 * that size.
 *
 *   fork_floor [--touch-mib N] [--iterations N] [--warmup N] [--program PATH] [--label L]
 *              [--key KEY] [--vfork] [--double] [--threads N]
 *
 * Default: fork + execv + waitpid, which copies the parent's page tables.
 *
 * --vfork makes the children with vfork instead: they borrow the parent's
 * memory until they exec or exit, so nothing is copied whatever the
 * parent's size. That is the shape of posix_spawn, and the floor for a
 * launch that creates its processes that way.
 *
 * --double times the detached shape instead: the child creates the
 * grandchild, which executes the program, and exits once the grandchild
 * has exec'd; the parent reaps the child only. With --vfork both are
 * vforked, which is the launcher's shape.
 *
 * --threads N first starts N idle threads that each allocate with malloc
 * (so each gets its own malloc arena, as JVM threads do): fork in glibc
 * locks and then unlocks every arena, and each unlock writes a page that
 * the new child shares; vfork takes none of these locks.
 *
 * With --key and $BENCH_SAMPLES set, every sample is appended to that file as
 * a "KEY microseconds" line.
 * Prints one line: RESULT forkfloor label=L create=fork|vfork processes=1|2 threads=N touch_mib=N
 * nofile=N rss_kib=N n=N median_us=N p90_us=N mean_us=N
 */
#define _GNU_SOURCE
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static long long nowNanos(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

static int compareLongLong(const void* a, const void* b) {
  const long long x = *(const long long*)a;
  const long long y = *(const long long*)b;
  return (x > y) - (x < y);
}

/* Nearest-rank percentile of sorted samples, in microseconds. */
static double percentileMicros(const long long* sorted, int n, double p) {
  int rank = (int)(p / 100.0 * n + 0.999999);
  if (rank < 1) rank = 1;
  if (rank > n) rank = n;
  return sorted[rank - 1] / 1e3;
}

static long statusKib(const char* field) {
  FILE* f = fopen("/proc/self/status", "r");
  if (f == NULL) return -1;
  char line[256];
  long value = -1;
  const size_t len = strlen(field);
  while (fgets(line, sizeof line, f) != NULL) {
    if (strncmp(line, field, len) == 0 && line[len] == ':') {
      value = strtol(line + len + 1, NULL, 10);
      break;
    }
  }
  fclose(f);
  return value;
}

/* Starts the program in the chosen shape; returns the child to wait for. The
 * child side never returns (a vfork child must not leave this frame). */
static pid_t startChild(int twoProcesses, int useVfork, const char* program, char* const argv[]) {
  /* vfork is the shape being measured; its children only exec or _exit. */
  /* NOLINTNEXTLINE(clang-analyzer-unix.Vfork,clang-analyzer-security.insecureAPI.vfork) */
  const pid_t child = useVfork ? vfork() : fork();
  if (child == 0) {
    if (twoProcesses) {
      /* NOLINTNEXTLINE(clang-analyzer-unix.Vfork,clang-analyzer-security.insecureAPI.vfork) */
      const pid_t grandchild = useVfork ? vfork() : fork();
      if (grandchild != 0) _exit(0);
    }
    execv(program, argv);
    _exit(127);
  }
  return child;
}

static pthread_mutex_t idleLock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t idleCond = PTHREAD_COND_INITIALIZER;
static int idleReady;

/* Allocates (taking an arena of its own) and then waits for good. */
static void* idleThread(void* arg) {
  (void)arg;
  void* block = malloc(64);
  pthread_mutex_lock(&idleLock);
  idleReady++;
  pthread_cond_broadcast(&idleCond);
  for (;;) pthread_cond_wait(&idleCond, &idleLock);
  free(block);
  return NULL;
}

int main(int argc, char** argv) {
  long touchMib = 0;
  int iterations = 500;
  int warmup = 50;
  const char* program = "/bin/true";
  const char* label = "floor";
  const char* key = NULL;
  int twoProcesses = 0;
  int useVfork = 0;
  int threads = 0;
  for (int i = 1; i < argc; i += 2) {
    if (strcmp(argv[i], "--double") == 0 || strcmp(argv[i], "--vfork") == 0) {
      if (argv[i][2] == 'd') {
        twoProcesses = 1;
      } else {
        useVfork = 1;
      }
      --i;
      continue;
    }
    if (i + 1 == argc) {
      fprintf(stderr, "fork_floor: %s needs a value\n", argv[i]);
      return 2;
    }
    if (strcmp(argv[i], "--touch-mib") == 0) {
      touchMib = atol(argv[i + 1]);
    } else if (strcmp(argv[i], "--iterations") == 0) {
      iterations = atoi(argv[i + 1]);
    } else if (strcmp(argv[i], "--warmup") == 0) {
      warmup = atoi(argv[i + 1]);
    } else if (strcmp(argv[i], "--program") == 0) {
      program = argv[i + 1];
    } else if (strcmp(argv[i], "--label") == 0) {
      label = argv[i + 1];
    } else if (strcmp(argv[i], "--threads") == 0) {
      threads = atoi(argv[i + 1]);
    } else if (strcmp(argv[i], "--key") == 0) {
      key = argv[i + 1];
    } else {
      fprintf(stderr, "fork_floor: unknown option %s\n", argv[i]);
      return 2;
    }
  }
  if (iterations < 1 || warmup < 0 || touchMib < 0) {
    fprintf(stderr, "fork_floor: bad counts\n");
    return 2;
  }

  /* Private anonymous memory, every page written, as a pre-touched heap. */
  char* ballast = NULL;
  if (touchMib > 0) {
    const size_t bytes = (size_t)touchMib << 20;
    ballast = malloc(bytes);
    if (ballast == NULL) {
      perror("fork_floor: malloc");
      return 1;
    }
    const long page = sysconf(_SC_PAGESIZE);
    for (size_t off = 0; off < bytes; off += (size_t)page) ballast[off] = 1;
  }

  for (int t = 0; t < threads; t++) {
    pthread_t id;
    if (pthread_create(&id, NULL, idleThread, NULL) != 0) {
      fprintf(stderr, "fork_floor: cannot start thread\n");
      return 1;
    }
  }
  pthread_mutex_lock(&idleLock);
  while (idleReady < threads) pthread_cond_wait(&idleCond, &idleLock);
  pthread_mutex_unlock(&idleLock);

  long long* samples = calloc((size_t)iterations, sizeof *samples);
  if (samples == NULL) return 1;
  char* const childArgv[] = {(char*)program, NULL};
  for (int i = -warmup; i < iterations; i++) {
    const long long t0 = nowNanos();
    const pid_t child = startChild(twoProcesses, useVfork, program, childArgv);
    if (child < 0) {
      perror(useVfork ? "fork_floor: vfork" : "fork_floor: fork");
      return 1;
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      fprintf(stderr, "fork_floor: %s did not exit with 0\n", program);
      return 1;
    }
    const long long t1 = nowNanos();
    if (i >= 0) samples[i] = t1 - t0;
  }

  const char* samplesFile = getenv("BENCH_SAMPLES");
  if (key != NULL && samplesFile != NULL && samplesFile[0] != '\0') {
    FILE* out = fopen(samplesFile, "a");
    if (out == NULL) {
      perror("fork_floor: samples file");
      return 1;
    }
    for (int i = 0; i < iterations; i++) fprintf(out, "%s %.3f\n", key, samples[i] / 1e3);
    fclose(out);
  }

  double mean = 0;
  for (int i = 0; i < iterations; i++) mean += (double)samples[i];
  mean /= iterations;
  qsort(samples, (size_t)iterations, sizeof *samples, compareLongLong);
  struct rlimit nofile;
  getrlimit(RLIMIT_NOFILE, &nofile);
  printf(
      "RESULT forkfloor label=%s create=%s processes=%d threads=%d touch_mib=%ld nofile=%llu "
      "rss_kib=%ld n=%d median_us=%.1f p90_us=%.1f mean_us=%.1f\n",
      label, useVfork ? "vfork" : "fork", twoProcesses ? 2 : 1, threads, touchMib,
      (unsigned long long)nofile.rlim_cur, statusKib("VmRSS"), iterations,
      percentileMicros(samples, iterations, 50), percentileMicros(samples, iterations, 90),
      mean / 1e3);
  free(samples);
  free(ballast);
  return 0;
}
