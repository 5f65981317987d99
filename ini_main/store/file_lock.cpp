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

// Every lock of the process that has a descriptor open, listed from the
// moment the descriptor is opened, so that a child made by fork() can close
// them all.  Opening, listing and delisting happen with `opening` held, and
// a fork takes it first: no fork falls between an open and its listing.  No
// holder of it waits for the interpreter's lock, which the forking thread
// holds.
pthread_mutex_t opening = PTHREAD_MUTEX_INITIALIZER;
FileLock* opened = nullptr;

[[maybe_unused]] const int fork_handlers = pthread_atfork(
    &FileLock::before_fork, &FileLock::after_fork_in_parent, &FileLock::after_fork_in_child);

// Holds `opening` for a scope.  With the interpreter's lock held, it lets
// that go while it waits, so a slow open elsewhere holds up no thread that
// runs Python code.
class Opening {
public:
    explicit Opening(bool interpreter_locked) noexcept {
        if (!interpreter_locked) {
            pthread_mutex_lock(&opening);
        } else if (pthread_mutex_trylock(&opening) != 0) {
            Py_BEGIN_ALLOW_THREADS
            pthread_mutex_lock(&opening);
            Py_END_ALLOW_THREADS
        }
    }
    ~Opening() { pthread_mutex_unlock(&opening); }
    Opening(const Opening&) = delete;
    Opening& operator=(const Opening&) = delete;
};

// A descriptor that a FIFO swapped in after the stat cannot block.
constexpr int kOpenFlags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
// How long a read or a save waits for the file before it gives up.
constexpr int kLockWaitSeconds = limit("_LOCK_WAIT");
// The kernel's own limit on symbolic links followed in one lookup.
constexpr int kMaxLinks = limit("_MAX_LINKS");
// The pause between two tries of a wait, doubled up to the longest.
constexpr long kFirstPause = limit("_FIRST_PAUSE") * 1000;  // nanoseconds
constexpr long kLongestPause = limit("_LONGEST_PAUSE") * 1000;

// Two bytes far past the end of any INI file, locked as records of the open
// file (fcntl F_OFD_SETLK): a save holds both exclusively; a read holds the
// data byte shared, and the gate shared only while it takes the data byte.
// A save that waits for the data byte holds the gate, so a read that starts
// after it waits behind it: a save waits only for the reads and saves under
// way when it began, however many reads follow.
constexpr off_t kGate = limit("_GATE");
constexpr off_t kData = kGate + 1;

enum class Range : unsigned char { locked, busy, refused };

Range lock_range(int fd, short type, off_t at) noexcept {
    struct flock region = {};
    region.l_type = type;
    region.l_whence = SEEK_SET;
    region.l_start = at;
    region.l_len = 1;
    if (::fcntl(fd, F_OFD_SETLK, &region) == 0) return Range::locked;
    // Anything else: a file system without such locks (ENOLCK, EOPNOTSUPP).
    return errno_set("_TRY_AGAIN").holds(errno) ? Range::busy : Range::refused;
}

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
    long pause = kFirstPause;
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
        pause = std::min(pause * 2, kLongestPause);
    }
    return true;
}

// The store goes on unlocked where the file system refuses locks; a warning
// says so once per file.  False with an exception set (the warning raised).
bool warn_unlocked(PyObject* name, dev_t dev, ino_t ino) noexcept {
    static PyObject* warned = nullptr;  // {(st_dev, st_ino)}, with the interpreter's lock
    if (!warned && !(warned = PySet_New(nullptr))) return false;
    Ref file = Ref::steal(Py_BuildValue("(KK)", static_cast<unsigned long long>(dev),
                                        static_cast<unsigned long long>(ino)));
    const int seen = file ? PySet_Contains(warned, file.get()) : -1;
    if (seen != 0) return seen > 0;
    if (PySet_Add(warned, file.get()) < 0) return false;
    Ref text = format_message(message("_UNLOCKED"), name);
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    return utf8 && PyErr_WarnEx(PyExc_RuntimeWarning, utf8, 1) == 0;
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

// Runs without the interpreter's lock: opens the regular file that `named`
// (a stat of `path`) describes, for reading and, for a save, writing.
FileLock::Found FileLock::open_existing(const char* path, const struct stat& named) noexcept {
    Opening listing(false);
    int fd = use_ == Use::save ? ::open(path, O_RDWR | kOpenFlags) : -1;  // a read-only file: O_RDONLY
    writable_ = fd >= 0;
    if (fd < 0 && (fd = ::open(path, O_RDONLY | kOpenFlags)) < 0) return errno == ENOENT ? Found::again : Found::unlocked;
    struct stat found;
    if (::fstat(fd, &found) != 0 || found.st_dev != named.st_dev || found.st_ino != named.st_ino) {
        ::close(fd);
        return Found::again;  // replaced between the stat and the open
    }
    fd_ = fd;
    enlist();
    return Found::opened;
}

// Runs without the interpreter's lock: finds the folder in which `path`, or
// the end of the chain of symbolic links that it starts, would be created,
// as `open` would create it, and opens it for its lock.  The folder and the
// name there are kept, so that no change of working directory or link
// redirects the create, or a failed first save's removal.
FileLock::Found FileLock::find_folder(const char* path) noexcept {
    Opening listing(false);
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
        if (errno != ENOENT || std::strlen(base) >= sizeof base_) break;
        // Opened for reading, which its lock needs; a folder this user may
        // not read goes unlocked, as does a file system without such locks.
        const int readable = ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (readable >= 0) ::close(std::exchange(dir, readable));
        struct stat folder;
        if (::fstat(dir, &folder) != 0) break;
        std::strcpy(base_, base);
        folder_ = std::exchange(dir, -1);
        folder_dev_ = folder.st_dev;
        folder_ino_ = folder.st_ino;
        enlist();
        found = Found::absent;
        break;
    }
    if (dir >= 0) ::close(dir);
    return found;
}

// Locks the folder found for a missing file (exclusively for a first save,
// shared for a read) and looks again: the file may have been made meanwhile.
// Where this thread holds the folder's lock already, goes on under it.
// False with an exception set.
bool FileLock::lock_folder(const timespec& deadline, bool held_here, Found& found) noexcept {
    const int operation = (use_ == Use::save ? LOCK_EX : LOCK_SH) | LOCK_NB;
    if (!held_here && !wait_until(deadline, name_.get(), [this, operation] {
            if (::flock(folder_, operation) == 0) return folder_locked_ = true;
            return !errno_set("_TRY_AGAIN").holds(errno);  // no such lock here: go on unlocked
        })) {
        return false;
    }
    struct stat there;
    int error;
    Py_BEGIN_ALLOW_THREADS
    error = ::fstatat(folder_, base_, &there, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
    if (error == ENOENT && use_ == Use::save) found = create();
    Py_END_ALLOW_THREADS
    if (error == 0) {
        found = Found::again;  // made meanwhile, perhaps by a first save that held the folder
    } else if (error != ENOENT) {
        found = Found::unlocked;
    } else if (use_ == Use::read) {
        found = Found::absent;
    }
    return true;
}

// Runs without the interpreter's lock, with the folder locked: creates the
// missing file there.
FileLock::Found FileLock::create() noexcept {
    Opening listing(false);
    const int fd = ::openat(folder_, base_, O_RDWR | O_CREAT | O_EXCL | kOpenFlags, 0666);
    if (fd < 0) return errno == EEXIST ? Found::again : Found::unlocked;
    struct stat made;
    if (::fstat(fd, &made) != 0) {
        ::unlinkat(folder_, base_, 0);
        ::close(fd);
        return Found::unlocked;
    }
    fd_ = fd;
    writable_ = created_ = true;
    dev_ = made.st_dev;
    ino_ = made.st_ino;
    return Found::opened;
}

// With `opening` held: joins the list, once.
void FileLock::enlist() noexcept {
    if (listed_) return;
    next_ = std::exchange(opened, this);
    listed_ = true;
}

FileLock::Outer FileLock::outer_on_this_thread(bool missing) const noexcept {
    Outer outer;
    Opening listing(true);
    for (const FileLock* lock = opened; lock; lock = lock->next_) {
        if (lock == this || lock->thread_ != thread_) continue;
        if (missing ? lock->folder_ >= 0 && lock->folder_dev_ == folder_dev_ && lock->folder_ino_ == folder_ino_
                    : lock->fd_ >= 0 && lock->dev_ == dev_ && lock->ino_ == ino_) {
            if (!missing || (lock->fd_ < 0 && std::strcmp(lock->base_, base_) == 0)) outer.same = lock;
            outer.folder_held |= lock->folder_locked_;
        }
    }
    return outer;
}

// A call inside another on the same file on this thread (a signal handler,
// the parser's own methods): 1 goes on under the outer lock, 0 waits like
// any other, -1 is refused with an exception set.
int FileLock::inside(const FileLock* outer) noexcept {
    if (!outer) return 0;
    // A read inside a read trusts only a lock that is held: an outer read
    // that still waits may be waiting for a save that writes the file now.
    if (use_ == Use::read && outer->use_ == Use::read) return outer->held_ ? 1 : 0;
    // Before anything is written: this save would write into the middle of
    // that one, or this read would read it half written.
    raise_message(PyExc_RuntimeError, use_ == Use::save ? message("_SAVE_INSIDE") : message("_READ_INSIDE"),
                  name_.get());
    return -1;
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
            dev_ = named.st_dev;
            ino_ = named.st_ino;
            const int nested = inside(outer_on_this_thread(false).same);
            if (nested != 0) return nested > 0;
            Py_BEGIN_ALLOW_THREADS
            found = open_existing(path, named);
            Py_END_ALLOW_THREADS
        } else if (error == ENOENT) {
            Py_BEGIN_ALLOW_THREADS
            found = find_folder(path);
            Py_END_ALLOW_THREADS
            if (found == Found::absent) {
                const Outer outer = outer_on_this_thread(true);
                const int nested = inside(outer.same);
                if (nested != 0) {
                    unlock();
                    return nested > 0;
                }
                if (!lock_folder(deadline, outer.folder_held, found)) {
                    unlock();
                    return false;
                }
            }
        } else {
            return true;  // a path that `open` refuses
        }
        if (found == Found::unlocked) return true;
        if (found == Found::absent) {
            held_ = true;  // no file: the parser finds none while the folder is locked
            return true;
        }
        if (found == Found::opened) {
            if (!lock_file(deadline)) {
                // A save that gives up leaves a file that it created to the
                // store that holds it: theirs by now.
                unlock();
                return false;
            }
            if (still_named(path)) {
                held_ = true;
                return true;
            }
        }
        unlock();  // removed, replaced or made while this waited: lock what the path names now
        if (nanoseconds_until(deadline) <= 0) {
            raise_timeout(fspath);
            return false;
        }
    }
}

// Takes the file's lock: the gate, then the data byte.  A save whose
// descriptor cannot write (a read-only file, whose `open` then fails before
// it truncates) takes it as a read does.
bool FileLock::lock_file(const timespec& deadline) noexcept {
    Range result = Range::locked;
    bool waited;
    if (use_ == Use::save && writable_) {
        auto take_byte = [this, &result](off_t at) {
            return [this, &result, at] { return (result = lock_range(fd_, F_WRLCK, at)) != Range::busy; };
        };
        waited = wait_until(deadline, name_.get(), take_byte(kGate))
                 && (result == Range::refused || wait_until(deadline, name_.get(), take_byte(kData)));
    } else {
        waited = wait_until(deadline, name_.get(), [this, &result] {
            result = lock_range(fd_, F_RDLCK, kGate);
            if (result == Range::locked) {
                result = lock_range(fd_, F_RDLCK, kData);
                lock_range(fd_, F_UNLCK, kGate);
            }
            return result != Range::busy;
        });
    }
    return waited && (result != Range::refused || warn_unlocked(name_.get(), dev_, ino_));
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
    if (::fstatat(folder_, base_, &there, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT ? 0 : errno;
    if (::fstat(fd_, &ours) != 0) return errno;
    if (there.st_dev != ours.st_dev || there.st_ino != ours.st_ino) return 0;  // another file by now
    return ::unlinkat(folder_, base_, 0) == 0 || errno == ENOENT ? 0 : errno;
}

void FileLock::guard_writes(int fd) noexcept {
    Opening listing(true);
    written_ = fd;
}

void FileLock::unlock() noexcept {
    if (!listed_) return;
    Opening listing(true);
    FileLock** link = &opened;
    while (*link != this) link = &(*link)->next_;
    *link = next_;
    // Closing the last descriptor of the open file releases its locks (a
    // forked child has closed its copy at the fork).
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
    if (folder_ >= 0) ::close(std::exchange(folder_, -1));
    listed_ = held_ = folder_locked_ = created_ = false;
}

FileLock::~FileLock() { unlock(); }

void FileLock::before_fork() noexcept { pthread_mutex_lock(&opening); }

void FileLock::after_fork_in_parent() noexcept { pthread_mutex_unlock(&opening); }

void FileLock::after_fork_in_child() noexcept {
    for (FileLock* lock = opened; lock; lock = lock->next_) {
        // The save's own descriptor, while it still is the locked file's: a
        // read-only one in its place makes every write of the child fail.
        struct stat written;
        if (lock->written_ >= 0 && ::fstat(lock->written_, &written) == 0 && written.st_dev == lock->dev_
            && written.st_ino == lock->ino_) {
            const int unwritable = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
            if (unwritable < 0 || ::dup3(unwritable, lock->written_, O_CLOEXEC) < 0) ::close(lock->written_);
            if (unwritable >= 0) ::close(unwritable);
        }
        // Only closed: an unlock would release the parent's lock as well.
        if (lock->fd_ >= 0) ::close(std::exchange(lock->fd_, -1));
        if (lock->folder_ >= 0) ::close(std::exchange(lock->folder_, -1));
        lock->listed_ = lock->held_ = lock->folder_locked_ = lock->created_ = false;
        lock->written_ = -1;
        lock->lost_at_fork_ = true;
    }
    opened = nullptr;
    pthread_mutex_unlock(&opening);
}

}  // namespace ini_main::store
