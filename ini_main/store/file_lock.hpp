// The lock on the INI file, taken by the stores of every process: a save
// holds it exclusively for its file work, a read holds it shared while the
// parser reads.  Saves take precedence: once a save waits, reads that start
// after it wait behind it.  A read or save that finds no file locks the
// file's folder instead, so that no first save creates the file meanwhile.
// Programs that do not take the lock (an editor, a bare parser) are not
// held off.
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

class FileLock {
public:
    enum class Use : unsigned char { read, save };

    FileLock() noexcept = default;
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // Locks the regular file that `fspath` (str or bytes, as os.fspath gives
    // it) names, for `use`.  Where no file is (at the end of a dangling
    // symbolic link too), the folder it would be created in is locked: a
    // read then lets the parser find nothing, and a save creates the file
    // and locks it too.  Nothing is locked, and true returned, for a FIFO, a
    // device or a folder, and for a path that cannot be opened (the parser's
    // read or `open` then reports it); where the file system refuses locks,
    // a warning says so once per file and the store goes on unlocked.  A
    // read inside a read of the same file on one thread goes on under the
    // outer one once that holds the lock.  Waits without the interpreter's
    // lock, at most the limit _LOCK_WAIT.  False with an exception set: the name
    // cannot be encoded; a save inside a save or read of the same file on
    // this thread, or a read inside a save of it (RuntimeError); the wait
    // given up (TimeoutError) or interrupted; the warning raised.
    bool take(PyObject* fspath, Use use) noexcept;

    // The descriptor of the locked file, open for reading, and for writing
    // when the store may write it; -1 when no file is locked here.
    int fd() const noexcept { return fd_; }
    PyObject* name() const noexcept { return name_.get(); }  // the path as passed to take()
    bool created() const noexcept { return created_; }       // by this save

    // Removes the file this save created, if its name still holds it.  Needs
    // no interpreter's lock.  0, or the errno of the failure.
    int remove_created() const noexcept;

    // `fd` is the save's own descriptor of the locked file, that it writes
    // through until unguard_writes(): a child forked meanwhile finds it
    // turned read-only, so nothing the child writes reaches the file.
    void guard_writes(int fd) noexcept;
    void unguard_writes() noexcept { guard_writes(-1); }
    // This process is a child forked while the lock was open: the lock, and
    // the file, are its parent's.
    bool lost_at_fork() const noexcept { return lost_at_fork_; }

    // The fork handlers: a fork waits for an open under way, and the child
    // closes its copies of every lock's descriptors without unlocking them.
    static void before_fork() noexcept;
    static void after_fork_in_parent() noexcept;
    static void after_fork_in_child() noexcept;

private:
    enum class Found : unsigned char { unlocked, opened, absent, again };
    // What this thread holds already of the file that a lock is taken for.
    struct Outer {
        const FileLock* same = nullptr;  // a lock of the same file
        bool folder_held = false;        // the lock of its folder
    };
    Found open_existing(const char* path, const struct stat& named) noexcept;
    Found find_folder(const char* path) noexcept;
    bool lock_folder(const timespec& deadline, bool held_here, Found& found) noexcept;
    Found create() noexcept;
    void enlist() noexcept;
    Outer outer_on_this_thread(bool missing) const noexcept;
    int inside(const FileLock* outer) noexcept;
    bool lock_file(const timespec& deadline) noexcept;
    bool still_named(const char* path) const noexcept;
    void unlock() noexcept;

    Ref name_;
    int fd_ = -1;                   // the file
    int folder_ = -1;               // the folder a missing file would be created in
    int written_ = -1;              // the save's own descriptor, guarded at a fork
    dev_t dev_ = 0, folder_dev_ = 0;
    ino_t ino_ = 0, folder_ino_ = 0;
    char base_[NAME_MAX + 1] = "";  // the file's name in that folder
    unsigned long thread_ = 0;
    Use use_ = Use::read;
    bool writable_ = false;          // fd_ is open for writing
    bool folder_locked_ = false;
    bool held_ = false;             // the lock is taken, and this may go on under it
    bool created_ = false;
    bool listed_ = false;           // among the locks with a descriptor open
    bool lost_at_fork_ = false;
    FileLock* next_ = nullptr;
};

}  // namespace ini_main::store
