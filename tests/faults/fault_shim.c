/* An LD_PRELOAD shim that makes one chosen libc call misbehave, for fault tests of the
 * whole extension as the OS sees it.
 *
 * Environment (read once, at the first intercepted call):
 *   VELLUM_FAULT_OP           write | fsync | fdatasync | rename | ftruncate | open | openat | accept
 *   VELLUM_FAULT_AFTER        matching calls that pass untouched first (default 0)
 *   VELLUM_FAULT_TIMES        matching calls in the faulty window that follows (default 1,
 *                             0 = every later call)
 *   VELLUM_FAULT_EVERY        within that window only every k-th matching call misbehaves
 *                             (default 1), so a retried EINTR can succeed on the next try
 *   VELLUM_FAULT_MODE         fail (return -1 with the errno) | short (write: transfer at
 *                             most half, at least one byte) | eintr (fail with EINTR
 *                             before doing anything) | torn (write: transfer half, then
 *                             fail the next write on the same descriptor with the errno)
 *   VELLUM_FAULT_ERRNO        EIO | ENOSPC | EINTR | EDQUOT | EMFILE | ENFILE | ECONNABORTED
 *                             | EPERM | EROFS (default EIO)
 *   VELLUM_FAULT_PATH_SUBSTR  when set, only calls on a path (or a descriptor whose path)
 *                             contains it match; accept ignores it
 *
 * A call "matches" when it is the chosen operation and passes the path filter; the
 * counting is shared by every thread. vellum_fault_hits() returns how many calls were
 * made to misbehave, so a test can tell an unexercised fault from a survived one.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

enum op { OP_NONE, OP_WRITE, OP_FSYNC, OP_FDATASYNC, OP_RENAME, OP_FTRUNCATE, OP_OPEN, OP_OPENAT, OP_ACCEPT };
enum mode { MODE_FAIL, MODE_SHORT, MODE_EINTR, MODE_TORN };

static int g_ready;
static enum op g_op = OP_NONE;
static enum mode g_mode = MODE_FAIL;
static int g_errno = EIO;
static long g_after;
static long g_times = 1;
static long g_every = 1;
static const char* g_substr;
static long g_seen;  /* matching calls so far */
static long g_hits;  /* calls made to misbehave */
static int g_torn_fd = -1;  /* torn mode: the descriptor whose next write fails */

long vellum_fault_hits(void) { return __atomic_load_n(&g_hits, __ATOMIC_SEQ_CST); }

static int errno_named(const char* name) {
  static const struct {
    const char* name;
    int value;
  } table[] = {{"EIO", EIO},       {"ENOSPC", ENOSPC}, {"EINTR", EINTR},
               {"EDQUOT", EDQUOT}, {"EMFILE", EMFILE}, {"ENFILE", ENFILE},
               {"ECONNABORTED", ECONNABORTED}, {"EPERM", EPERM}, {"EROFS", EROFS}};
  for (size_t i = 0; i < sizeof table / sizeof table[0]; ++i) {
    if (strcmp(name, table[i].name) == 0) return table[i].value;
  }
  return atoi(name) > 0 ? atoi(name) : EIO;
}

/* Racing first calls all compute the same values from the same environment. */
static void setup(void) {
  if (__atomic_load_n(&g_ready, __ATOMIC_ACQUIRE)) return;
  const char* op = getenv("VELLUM_FAULT_OP");
  if (op != NULL) {
    if (strcmp(op, "write") == 0) g_op = OP_WRITE;
    else if (strcmp(op, "fsync") == 0) g_op = OP_FSYNC;
    else if (strcmp(op, "fdatasync") == 0) g_op = OP_FDATASYNC;
    else if (strcmp(op, "rename") == 0) g_op = OP_RENAME;
    else if (strcmp(op, "ftruncate") == 0) g_op = OP_FTRUNCATE;
    else if (strcmp(op, "open") == 0) g_op = OP_OPEN;
    else if (strcmp(op, "openat") == 0) g_op = OP_OPENAT;
    else if (strcmp(op, "accept") == 0) g_op = OP_ACCEPT;
  }
  const char* mode = getenv("VELLUM_FAULT_MODE");
  if (mode != NULL && strcmp(mode, "short") == 0) g_mode = MODE_SHORT;
  if (mode != NULL && strcmp(mode, "eintr") == 0) g_mode = MODE_EINTR;
  if (mode != NULL && strcmp(mode, "torn") == 0) g_mode = MODE_TORN;
  const char* err = getenv("VELLUM_FAULT_ERRNO");
  if (err != NULL) g_errno = errno_named(err);
  const char* after = getenv("VELLUM_FAULT_AFTER");
  if (after != NULL) g_after = atol(after);
  const char* times = getenv("VELLUM_FAULT_TIMES");
  if (times != NULL) g_times = atol(times);
  const char* every = getenv("VELLUM_FAULT_EVERY");
  if (every != NULL && atol(every) > 0) g_every = atol(every);
  g_substr = getenv("VELLUM_FAULT_PATH_SUBSTR");
  if (g_substr != NULL && *g_substr == '\0') g_substr = NULL;
  __atomic_store_n(&g_ready, 1, __ATOMIC_RELEASE);
}

static int path_matches(const char* path) {
  return g_substr == NULL || (path != NULL && strstr(path, g_substr) != NULL);
}

static int fd_matches(int fd) {
  if (g_substr == NULL) return 1;
  char link[64];
  char target[4096];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(link, target, sizeof target - 1);
  if (n < 0) return 0;
  target[n] = '\0';
  return strstr(target, g_substr) != NULL;
}

/* Whether this call of `op` misbehaves. The filter runs only for the chosen operation,
 * so every other call costs one comparison. */
static int due(enum op op, int fd, const char* path, const char* path2) {
  setup();
  if (op != g_op) return 0;
  int matched = fd >= 0 ? fd_matches(fd) : path_matches(path) || (path2 != NULL && path_matches(path2));
  if (!matched) return 0;
  long n = __atomic_fetch_add(&g_seen, 1, __ATOMIC_SEQ_CST);
  if (n < g_after) return 0;
  if (g_times > 0 && n >= g_after + g_times) return 0;
  if ((n - g_after) % g_every != g_every - 1) return 0;
  __atomic_fetch_add(&g_hits, 1, __ATOMIC_SEQ_CST);
  return 1;
}

static int fail_now(void) {
  errno = g_mode == MODE_EINTR ? EINTR : g_errno;
  return -1;
}

/* The next definition of `name` in the lookup order: libc's. */
#define REAL(name)                       \
  static __typeof__(name)* real_##name;  \
  if (real_##name == NULL) real_##name = (__typeof__(name)*)dlsym(RTLD_NEXT, #name)

ssize_t write(int fd, const void* buf, size_t n) {
  REAL(write);
  int torn = fd;
  if (fd >= 0 && __atomic_compare_exchange_n(&g_torn_fd, &torn, -1, 0, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)) {
    errno = g_errno;
    return -1;
  }
  if (due(OP_WRITE, fd, NULL, NULL)) {
    if (g_mode == MODE_FAIL || g_mode == MODE_EINTR) return fail_now();
    if (g_mode == MODE_TORN) __atomic_store_n(&g_torn_fd, fd, __ATOMIC_SEQ_CST);
    if (n > 1) return real_write(fd, buf, n / 2);
  }
  return real_write(fd, buf, n);
}

int fsync(int fd) {
  REAL(fsync);
  if (due(OP_FSYNC, fd, NULL, NULL)) return fail_now();
  return real_fsync(fd);
}

int fdatasync(int fd) {
  REAL(fdatasync);
  if (due(OP_FDATASYNC, fd, NULL, NULL)) return fail_now();
  return real_fdatasync(fd);
}

int ftruncate(int fd, off_t len) {
  REAL(ftruncate);
  if (due(OP_FTRUNCATE, fd, NULL, NULL)) return fail_now();
  return real_ftruncate(fd, len);
}

int ftruncate64(int fd, off_t len) {
  REAL(ftruncate64);
  if (due(OP_FTRUNCATE, fd, NULL, NULL)) return fail_now();
  return real_ftruncate64(fd, len);
}

int rename(const char* from, const char* to) {
  REAL(rename);
  if (due(OP_RENAME, -1, from, to)) return fail_now();
  return real_rename(from, to);
}

static mode_t mode_arg(int flags, va_list ap) {
  return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? (mode_t)va_arg(ap, int) : 0;
}

int open(const char* path, int flags, ...) {
  REAL(open);
  va_list ap;
  va_start(ap, flags);
  mode_t mode = mode_arg(flags, ap);
  va_end(ap);
  if (due(OP_OPEN, -1, path, NULL)) return fail_now();
  return real_open(path, flags, mode);
}

int open64(const char* path, int flags, ...) {
  REAL(open64);
  va_list ap;
  va_start(ap, flags);
  mode_t mode = mode_arg(flags, ap);
  va_end(ap);
  if (due(OP_OPEN, -1, path, NULL)) return fail_now();
  return real_open64(path, flags, mode);
}

int openat(int dirfd, const char* path, int flags, ...) {
  REAL(openat);
  va_list ap;
  va_start(ap, flags);
  mode_t mode = mode_arg(flags, ap);
  va_end(ap);
  if (due(OP_OPENAT, -1, path, NULL)) return fail_now();
  return real_openat(dirfd, path, flags, mode);
}

int accept(int fd, struct sockaddr* addr, socklen_t* len) {
  REAL(accept);
  if (due(OP_ACCEPT, -1, NULL, NULL)) return fail_now();
  return real_accept(fd, addr, len);
}

int accept4(int fd, struct sockaddr* addr, socklen_t* len, int flags) {
  REAL(accept4);
  if (due(OP_ACCEPT, -1, NULL, NULL)) return fail_now();
  return real_accept4(fd, addr, len, flags);
}
