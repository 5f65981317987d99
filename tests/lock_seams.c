/* Preloaded into a child process, this stages what another process might
   do in the windows of the file lock, at the moment the store reaches them:
   each seam is switched on by an environment variable naming the file.

   SEAM_REFUSE_LOCKS=errno     every lock call (fcntl's record locks, flock)
                               fails with that errno, as on a file system
                               without locks
   SEAM_REPLACE=path           at the lock's first open of `path`, path.new
                               is renamed over it: replaced after the stat
   SEAM_REMOVE=path            at the lock's first open of `path`, it is
                               removed: gone after the stat
   SEAM_WRITE_CREATED=name     right after a save creates a file of that
                               name, another writer puts "[other]\n" in it
   SEAM_WRITE_AFTER_READ=path  right after the first pread of `path`, another
                               writer replaces its content with "[other]\n"
   SEAM_MAKE_AT_WALK=path      when the lock, finding no file, starts its walk
                               to the folder, another writer makes `path`
   SEAM_MAKE_AT_FOLDER=path    when a save locks the folder of the missing
                               file, another writer makes `path`
   SEAM_MAKE_LOCKED_AT_FOLDER=path
                               when a read locks the folder of the missing
                               file, another writer makes `path` and keeps
                               the stores' lock on it until the process ends
   SEAM_FORK_AT_OPEN=path      at the lock's first open of `path`, another
                               thread forks; the open returns once the child
                               exists, or after 200 ms (a fork that waits for
                               the open to be recorded); the child only waits
                               for the end of its parent; seam_wait_fork()
                               waits for the fork

   The lock opens its file with O_NONBLOCK, which no other open here uses. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

static int refused(void) {
    const char* value = getenv("SEAM_REFUSE_LOCKS");
    return value ? atoi(value) : 0;
}

static int is_lock_command(int cmd) {
    return cmd == F_SETLK || cmd == F_SETLKW || cmd == F_OFD_SETLK || cmd == F_OFD_SETLKW;
}

/* fcntl's third argument, whatever its type, passed on as it came. */
static int seam_fcntl(int fd, int cmd, void* arg) {
    static int (*next)(int, int, ...);
    if (refused() && is_lock_command(cmd)) return errno = refused(), -1;
    if (!next) next = (int (*)(int, int, ...))dlsym(RTLD_NEXT, "fcntl64");
    return next(fd, cmd, arg);
}

#define THIRD_ARGUMENT(last) \
    va_list args; \
    va_start(args, last); \
    void* arg = va_arg(args, void*); \
    va_end(args);

int fcntl64(int fd, int cmd, ...) {
    THIRD_ARGUMENT(cmd)
    return seam_fcntl(fd, cmd, arg);
}

int fcntl(int fd, int cmd, ...) {
    THIRD_ARGUMENT(cmd)
    return seam_fcntl(fd, cmd, arg);
}

static void write_other(int dir, const char* path);

/* Once per variable: makes the file it names, as another process's save, which may
   keep the stores' lock on it until this process ends (a save that never ends). */
static void make_once(const char* variable, int locked) {
    const char* target = getenv(variable);
    if (!target) return;
    char path[4096];
    snprintf(path, sizeof path, "%s", target);
    unsetenv(variable);
    write_other(AT_FDCWD, path);
    int held = locked ? open(path, O_RDWR | O_CLOEXEC) : -1;
    struct flock bytes = {.l_type = F_WRLCK, .l_whence = SEEK_SET, .l_start = 1LL << 62, .l_len = 2};
    if (held >= 0) seam_fcntl(held, F_OFD_SETLK, &bytes);
}

int flock(int fd, int operation) {
    static int (*next)(int, int);
    if (refused()) return errno = refused(), -1;
    if (operation & LOCK_EX) make_once("SEAM_MAKE_AT_FOLDER", 0);
    if (operation & LOCK_SH) make_once("SEAM_MAKE_LOCKED_AT_FOLDER", 1);
    if (!next) next = (int (*)(int, int))dlsym(RTLD_NEXT, "flock");
    return next(fd, operation);
}

static pthread_mutex_t forking = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t forked = PTHREAD_COND_INITIALIZER;
static int fork_done;

static void* fork_child(void* parent) {
    if (fork() == 0) {
        while (getppid() == (pid_t)(long)parent) {
            struct timespec pause = {0, 20000000};
            nanosleep(&pause, NULL);
        }
        _exit(0);
    }
    pthread_mutex_lock(&forking);
    fork_done = 1;
    pthread_cond_broadcast(&forked);
    pthread_mutex_unlock(&forking);
    return NULL;
}

/* Returns once the fork that SEAM_FORK_AT_OPEN started is done: a child made later than
   the script's next steps would hold what they open (the pipes of a subprocess). */
void seam_wait_fork(void) {
    pthread_mutex_lock(&forking);
    while (!fork_done) pthread_cond_wait(&forked, &forking);
    pthread_mutex_unlock(&forking);
}

/* Once per variable: the lock's open of the file it names. */
static int first_lock_open(const char* variable, const char* path, int flags) {
    const char* target = getenv(variable);
    if (!target || !(flags & O_NONBLOCK) || strcmp(path, target) != 0) return 0;
    unsetenv(variable);
    return 1;
}

static void before_open(const char* path, int flags) {
    if ((flags & O_PATH) && strcmp(path, ".") == 0) make_once("SEAM_MAKE_AT_WALK", 0);
    if (first_lock_open("SEAM_REPLACE", path, flags)) {
        char replacement[4096];
        snprintf(replacement, sizeof replacement, "%s.new", path);
        rename(replacement, path);
    }
    if (first_lock_open("SEAM_REMOVE", path, flags)) unlink(path);
}

static void after_open(const char* path, int flags) {
    if (!first_lock_open("SEAM_FORK_AT_OPEN", path, flags)) return;
    pthread_t thread;
    pthread_create(&thread, NULL, fork_child, (void*)(long)getpid());
    pthread_detach(thread);
    struct timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_nsec += 200000000;
    if (until.tv_nsec >= 1000000000) until.tv_sec += 1, until.tv_nsec -= 1000000000;
    pthread_mutex_lock(&forking);
    while (!fork_done && pthread_cond_timedwait(&forked, &forking, &until) == 0) {
    }
    pthread_mutex_unlock(&forking);
}

/* Writes "[other]\n" over the whole of `path`, as another process's save. */
static void write_other(int dir, const char* path) {
    static int (*next)(int, const char*, int, ...);
    if (!next) next = (int (*)(int, const char*, int, ...))dlsym(RTLD_NEXT, "openat64");
    int other = next(dir, path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (other >= 0) {
        (void)!write(other, "[other]\n", 8);
        close(other);
    }
}

static ssize_t after_pread(int fd, ssize_t got) {
    const char* target = getenv("SEAM_WRITE_AFTER_READ");
    char link[64], named[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t size = target ? readlink(link, named, sizeof named - 1) : -1;
    if (size > 0 && (named[size] = '\0', strcmp(named, target) == 0)) {
        unsetenv("SEAM_WRITE_AFTER_READ");
        write_other(AT_FDCWD, target);
    }
    return got;
}

ssize_t pread64(int fd, void* buffer, size_t count, off_t offset) {
    static ssize_t (*next)(int, void*, size_t, off_t);
    if (!next) next = (ssize_t (*)(int, void*, size_t, off_t))dlsym(RTLD_NEXT, "pread64");
    return after_pread(fd, next(fd, buffer, count, offset));
}

ssize_t pread(int fd, void* buffer, size_t count, off_t offset) { return pread64(fd, buffer, count, offset); }

/* open and openat, each under both its names: the mode is there only with O_CREAT or O_TMPFILE. */
#define MODE(flags) \
    mode_t mode = 0; \
    if (flags & (O_CREAT | O_TMPFILE)) { \
        va_list args; \
        va_start(args, flags); \
        mode = va_arg(args, mode_t); \
        va_end(args); \
    }
#define SEAM_OPEN(name) \
    int name(const char* path, int flags, ...) { MODE(flags) return seam_open(path, flags, mode); }
#define SEAM_OPENAT(name) \
    int name(int dir, const char* path, int flags, ...) { MODE(flags) return seam_openat(dir, path, flags, mode); }

static int seam_open(const char* path, int flags, mode_t mode) {
    static int (*next)(const char*, int, ...);
    if (!next) next = (int (*)(const char*, int, ...))dlsym(RTLD_NEXT, "open64");
    before_open(path, flags);
    int fd = next(path, flags, mode);
    if (fd >= 0) after_open(path, flags);
    return fd;
}

static int seam_openat(int dir, const char* path, int flags, mode_t mode) {
    static int (*next)(int, const char*, int, ...);
    if (!next) next = (int (*)(int, const char*, int, ...))dlsym(RTLD_NEXT, "openat64");
    int fd = next(dir, path, flags, mode);
    const char* target = getenv("SEAM_WRITE_CREATED");
    if (fd >= 0 && target && (flags & O_EXCL) && strcmp(path, target) == 0) {
        unsetenv("SEAM_WRITE_CREATED");
        write_other(dir, path);
    }
    return fd;
}

SEAM_OPEN(open)
SEAM_OPEN(open64)
SEAM_OPENAT(openat)
SEAM_OPENAT(openat64)
