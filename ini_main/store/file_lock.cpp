#include "ini_main/store/file_lock.hpp"

#include "ini_main/runtime.hpp"
#include "ini_main/store/messages.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ini_main::store {

namespace {

// The outermost holder of every file locked in the process.  Read and
// changed only with the interpreter's lock held, which is all the locking
// the list needs; being static data, it exists from the moment the module is
// loaded, before any thread can race to make it.
FileLock* holders = nullptr;

// Registered when the module is loaded: a child made by fork() starts with no
// holder, since the parent's threads are not there to release their locks.
[[maybe_unused]] const int forget_at_fork = pthread_atfork(nullptr, nullptr, &FileLock::forget_in_child);

// A descriptor that a FIFO swapped in after the stat cannot block.
constexpr int kOpenFlags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
// The kernel's own limit on symbolic links followed in one lookup.
constexpr int kMaxLinks = 40;

timespec now() noexcept {
    timespec time;
    clock_gettime(CLOCK_MONOTONIC, &time);
    return time;
}

long nanoseconds_until(const timespec& deadline) noexcept {
    const timespec time = now();
    return (deadline.tv_sec - time.tv_sec) * 1'000'000'000L + (deadline.tv_nsec - time.tv_nsec);
}

// TimeoutError(ETIMEDOUT, text, name): an OSError naming the file.
void raise_timeout(PyObject* name) noexcept {
    Ref seconds = Ref::steal(PyLong_FromLong(kLockWaitSeconds));
    Ref text = seconds ? format_message(message("_LOCKED_OUT"), seconds.get()) : Ref();
    Ref error = text ? Ref::steal(PyObject_CallFunction(PyExc_TimeoutError, "iOO", ETIMEDOUT, text.get(), name))
                     : Ref();
    if (error) PyErr_SetRaisedException(error.release());
}

// Tries `attempt` until it succeeds or the deadline passes, pausing between
// tries without the interpreter's lock.  Signal handlers run after each
// pause, and an exception of theirs (KeyboardInterrupt) ends the wait.
// False with an exception set: TimeoutError, or the handler's.
template <class Attempt>
bool wait_until(const timespec& deadline, PyObject* name, Attempt attempt) noexcept {
    long pause = 500'000;  // nanoseconds, doubled up to 16 ms
    while (!attempt()) {
        const long left = nanoseconds_until(deadline);
        if (left <= 0) {
            raise_timeout(name);
            return false;
        }
        const timespec nap = {0, std::min(pause, left)};
        Py_BEGIN_ALLOW_THREADS
        nanosleep(&nap, nullptr);  // a signal ends it early
        Py_END_ALLOW_THREADS
        if (PyErr_CheckSignals() < 0) return false;
        pause = std::min(pause * 2, 16'000'000L);
    }
    return true;
}

}  // namespace

int names_one_file(PyObject* path) noexcept {
    if (PyUnicode_Check(path) || PyBytes_Check(path)) return 1;
    PyObject* method = nullptr;
    const int path_like = PyObject_GetOptionalAttr(reinterpret_cast<PyObject*>(Py_TYPE(path)), names.dunder_fspath,
                                                   &method);
    Py_XDECREF(method);
    return path_like;
}

FileLock* FileLock::holder_of(dev_t dev, ino_t ino) noexcept {
    for (FileLock* held = holders; held; held = held->next_) {
        if (held->dev_ == dev && held->ino_ == ino) return held;
    }
    return nullptr;
}

// Runs without the interpreter's lock: opens the regular file that `named`
// (a stat of `path`) describes, for reading and, for a save, writing.
FileLock::Found FileLock::open_existing(const char* path, const struct stat& named) noexcept {
    int fd = use_ == Use::save ? ::open(path, O_RDWR | kOpenFlags) : -1;  // a read-only file: O_RDONLY
    if (fd < 0 && (fd = ::open(path, O_RDONLY | kOpenFlags)) < 0) return errno == ENOENT ? Found::again : Found::unlocked;
    struct stat opened;
    const bool same = ::fstat(fd, &opened) == 0 && opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
    if (!same) {
        ::close(fd);
        return Found::again;  // replaced between the stat and the open
    }
    fd_ = fd;
    dev_ = opened.st_dev;
    ino_ = opened.st_ino;
    return Found::opened;
}

// Runs without the interpreter's lock: creates the missing file at `path`,
// or at the end of the chain of symbolic links that `path` starts, as `open`
// would; a failed first save removes it again, by its folder and name, not
// by a path that a change of working directory or a link could redirect.
FileLock::Found FileLock::create(const char* path) noexcept {
    char name[PATH_MAX];
    const size_t length = std::strlen(path);
    if (length == 0 || length >= sizeof name) return Found::unlocked;
    std::memcpy(name, path, length + 1);
    int dir = ::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    Found found = Found::unlocked;
    for (int links = 0; dir >= 0 && links <= kMaxLinks; ++links) {
        // `name` is relative to `dir`, the folder of the link that held it.
        const char* base = name;
        if (char* slash = std::strrchr(name, '/')) {
            if (slash[1] == '\0') break;  // names a folder: `open` says so
            *slash = '\0';
            const int sub = ::openat(dir, slash == name ? "/" : name, O_PATH | O_DIRECTORY | O_CLOEXEC);
            ::close(dir);
            dir = sub;
            if (dir < 0) break;
            base = slash + 1;
        }
        struct stat there;
        if (::fstatat(dir, base, &there, AT_SYMLINK_NOFOLLOW) == 0) {
            if (!S_ISLNK(there.st_mode)) {
                found = Found::again;  // made meanwhile
                break;
            }
            const ssize_t size = ::readlinkat(dir, base, name, sizeof name - 1);
            if (size <= 0 || static_cast<size_t>(size) >= sizeof name - 1) break;
            name[size] = '\0';
            continue;
        }
        if (errno != ENOENT || std::strlen(base) >= sizeof created_) break;
        const int fd = ::openat(dir, base, O_RDWR | O_CREAT | O_EXCL | kOpenFlags, 0666);
        if (fd < 0) {
            if (errno == EEXIST) found = Found::again;
            break;
        }
        struct stat made;
        if (::fstat(fd, &made) != 0) {
            ::unlinkat(dir, base, 0);
            ::close(fd);
            break;
        }
        std::strcpy(created_, base);
        fd_ = fd;
        dev_ = made.st_dev;
        ino_ = made.st_ino;
        dir_ = std::exchange(dir, -1);
        found = Found::opened;
        break;
    }
    if (dir >= 0) ::close(dir);
    return found;
}

bool FileLock::take(PyObject* fspath, Use use) noexcept {
    PyObject* converted = nullptr;
    if (!PyUnicode_FSConverter(fspath, &converted)) return false;
    Ref filename = Ref::steal(converted);
    const char* path = PyBytes_AS_STRING(converted);
    name_ = Ref::newref(fspath);
    use_ = use;
    thread_ = PyThread_get_thread_ident();
    timespec deadline = now();
    deadline.tv_sec += kLockWaitSeconds;
    for (;;) {
        struct stat named;
        int error;
        Py_BEGIN_ALLOW_THREADS
        error = ::stat(path, &named) == 0 ? 0 : errno;
        Py_END_ALLOW_THREADS
        Found found;
        if (error == 0) {
            if (!S_ISREG(named.st_mode)) return true;
            const FileLock* outer = holder_of(named.st_dev, named.st_ino);
            if (outer && outer->thread_ == thread_) {
                if (use == Use::read && outer->use_ == Use::read) return true;
                // Before anything is opened: this save would write into the
                // middle of that one, or this read would read it half written.
                return raise_message(PyExc_RuntimeError,
                                     use == Use::save ? message("_SAVE_INSIDE") : message("_READ_INSIDE"), fspath);
            }
            Py_BEGIN_ALLOW_THREADS
            found = open_existing(path, named);
            Py_END_ALLOW_THREADS
        } else if (error == ENOENT && use == Use::save) {
            Py_BEGIN_ALLOW_THREADS
            found = create(path);
            Py_END_ALLOW_THREADS
        } else {
            no_file_ = error == ENOENT;
            return true;  // no file to read, or a path that `open` refuses
        }
        if (found == Found::unlocked) return true;
        if (found == Found::opened) {
            // A save that gives up leaves a file that it created to the store
            // that holds it: theirs by now.
            if (!wait_and_lock(deadline)) {
                unlock();
                return false;
            }
            if (still_named(path)) return true;
            unlock();  // removed or replaced while this waited: lock what the path names now
        }
        if (nanoseconds_until(deadline) <= 0) {
            raise_timeout(fspath);
            return false;
        }
    }
}

// The other threads of the process first, then the other processes.
bool FileLock::wait_and_lock(const timespec& deadline) noexcept {
    if (!wait_until(deadline, name_.get(), [this] { return !holder_of(dev_, ino_); })) return false;
    next_ = std::exchange(holders, this);
    listed_ = true;
    const int operation = (use_ == Use::save ? LOCK_EX : LOCK_SH) | LOCK_NB;
    return wait_until(deadline, name_.get(), [this, operation] {
        if (::flock(fd_, operation) == 0) return true;
        // A file system without such locks: go on unlocked, as before.
        return errno != EWOULDBLOCK && errno != EINTR;
    });
}

// The path still names the locked file: a failed first save elsewhere did
// not remove it, and no rename replaced it, while this waited.
bool FileLock::still_named(const char* path) const noexcept {
    struct stat named;
    int error;
    Py_BEGIN_ALLOW_THREADS
    error = ::stat(path, &named);
    Py_END_ALLOW_THREADS
    return error == 0 && named.st_dev == dev_ && named.st_ino == ino_;
}

int FileLock::remove_created() const noexcept {
    struct stat there, ours;
    if (::fstatat(dir_, created_, &there, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT ? 0 : errno;
    if (::fstat(fd_, &ours) != 0) return errno;
    if (there.st_dev != ours.st_dev || there.st_ino != ours.st_ino) return 0;  // another file by now
    return ::unlinkat(dir_, created_, 0) == 0 || errno == ENOENT ? 0 : errno;
}

void FileLock::unlock() noexcept {
    if (listed_) {
        FileLock** link = &holders;
        while (*link != this) link = &(*link)->next_;
        *link = next_;
        listed_ = false;
    }
    // Closing the last descriptor of the open file releases its lock (a
    // forked child has closed its copy at the fork).
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
    if (dir_ >= 0) ::close(std::exchange(dir_, -1));
}

FileLock::~FileLock() { unlock(); }

void FileLock::forget_in_child() noexcept {
    for (FileLock* held = holders; held; held = held->next_) {
        // Only closed: an unlock would release the parent's lock as well.
        if (held->fd_ >= 0) ::close(std::exchange(held->fd_, -1));
        if (held->dir_ >= 0) ::close(std::exchange(held->dir_, -1));
        held->listed_ = false;
    }
    holders = nullptr;
}

}  // namespace ini_main::store
