// The lock on the INI file itself, taken by the stores of every process: a
// save holds it exclusively for its file work, a read holds it shared while
// the parser reads.  Programs that do not take it (an editor, a bare
// parser) are not held off.
#pragma once

#include "ini_main/ref.hpp"

#include <climits>
#include <sys/types.h>

struct stat;
struct timespec;

namespace ini_main::store {

// 1 when `path` names one file (a str, bytes or a path-like object), 0 when
// it does not (an iterable of paths, which the parser reads one by one and
// no save can open), -1 with an exception set.
int names_one_file(PyObject* path) noexcept;

// How long a read or a save waits for the file before it gives up.
inline constexpr int kLockWaitSeconds = 10;

class FileLock {
public:
    enum class Use : unsigned char { read, save };

    FileLock() noexcept = default;
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // Locks the regular file that `fspath` (str or bytes, as os.fspath gives
    // it) names, for `use`; a save of a missing file creates it first (at the
    // end of a dangling symbolic link too) and locks what it created.
    // Nothing is locked, and true returned, for a FIFO, a device or a folder,
    // for a missing file that is read, and for a path that cannot be opened
    // (the parser's read or `open` then reports it).  Only the outermost
    // holder in the process takes the lock: a read inside a read of the same
    // file on one thread goes on under the outer one.  Waits for other
    // threads and processes without the interpreter's lock, at most
    // kLockWaitSeconds.  False with an exception set: the name cannot be
    // encoded; a save inside a save or read of the same file on this thread,
    // or a read inside a save of it (RuntimeError); the wait given up
    // (TimeoutError) or interrupted.
    bool take(PyObject* fspath, Use use) noexcept;

    // The descriptor of the locked file, open for reading, and for writing
    // when the store may write it; -1 when nothing is locked here.
    int fd() const noexcept { return fd_; }
    PyObject* name() const noexcept { return name_.get(); }  // the path as passed to take()
    bool created() const noexcept { return dir_ >= 0; }     // by this save
    bool found_no_file() const noexcept { return no_file_; }  // a read that found nothing to lock

    // Removes the file this save created, if its name still holds it.  Needs
    // no interpreter's lock.  0, or the errno of the failure.
    int remove_created() const noexcept;

    // In a child made by fork(): forgets the locks of the parent's threads,
    // closing the child's copies of their descriptors without unlocking them.
    static void forget_in_child() noexcept;

private:
    enum class Found : unsigned char { unlocked, opened, again };
    static FileLock* holder_of(dev_t dev, ino_t ino) noexcept;  // with the interpreter's lock
    Found open_existing(const char* path, const struct stat& named) noexcept;
    Found create(const char* path) noexcept;
    bool wait_and_lock(const struct timespec& deadline) noexcept;
    bool still_named(const char* path) const noexcept;
    void unlock() noexcept;

    Ref name_;
    int fd_ = -1;
    int dir_ = -1;                  // the folder of the file this save created
    char created_[NAME_MAX + 1];    // and its name there
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    unsigned long thread_ = 0;
    Use use_ = Use::read;
    bool listed_ = false;           // among the process's holders
    bool no_file_ = false;
    FileLock* next_ = nullptr;
};

}  // namespace ini_main::store
