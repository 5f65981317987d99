#include "ini_main/store/former_content.hpp"

#include "ini_main/store/messages.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace ini_main::store {

namespace {

// Reads `size` bytes at `offset`; false on an error or when the file ends first.
bool read_at(int fd, char* buffer, Py_ssize_t size, off_t offset) noexcept {
    for (Py_ssize_t done = 0; done < size;) {
        ssize_t got = ::pread(fd, buffer + done, static_cast<size_t>(size - done), offset + done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        done += got;
    }
    return true;
}

bool write_all(int fd, const char* buffer, Py_ssize_t size) noexcept {
    for (Py_ssize_t done = 0; done < size;) {
        ssize_t put = ::pwrite(fd, buffer + done, static_cast<size_t>(size - done), done);
        if (put < 0 && errno == EINTR) continue;
        if (put < 0) return false;
        done += put;
    }
    return true;
}

// The file holds exactly `bytes`: nothing to put back (the open failed
// before it truncated, as it does for a read-only file).
bool holds(int fd, const char* bytes, Py_ssize_t size) noexcept {
    struct stat info;
    if (::fstat(fd, &info) != 0 || info.st_size != size) return false;
    char part[16384];
    for (Py_ssize_t done = 0; done < size;) {
        const Py_ssize_t length = std::min<Py_ssize_t>(size - done, sizeof part);
        if (!read_at(fd, part, length, done) || std::memcmp(part, bytes + done, length) != 0) return false;
        done += length;
    }
    return true;
}

// Runs without the interpreter's lock: plain system calls, no Python code,
// so nothing can interrupt it.  Returns 0 or the errno of the failure.
int put_back(const FileLock& lock, const char* bytes, Py_ssize_t size) noexcept {
    const int fd = lock.fd();
    if (holds(fd, bytes, size)) return 0;
    if (!write_all(fd, bytes, size)) return errno;
    return ::ftruncate(fd, size) == 0 ? 0 : errno;
}

void add_note(PyObject* name, int error) noexcept {
    PyObject* pending = PyErr_GetRaisedException();
    assert(pending);  // a restore follows a failed save
    Ref number = Ref::steal(PyLong_FromLong(error));
    Ref reason = number ? Ref::steal(PyUnicode_DecodeLocale(std::strerror(error), "surrogateescape")) : Ref();
    Ref note = reason ? format_message(message("_NOT_PUT_BACK"), name, number.get(), reason.get()) : Ref();
    Ref added = note ? Ref::steal(PyObject_CallMethod(pending, "add_note", "O", note.get())) : Ref();
    // The save's own error stays the one raised; a note that cannot be made
    // is reported as unraisable rather than put over it.
    if (!added) PyErr_WriteUnraisable(pending);
    PyErr_SetRaisedException(pending);
}

}  // namespace

bool FormerContent::take(const FileLock& lock) noexcept {
    const int fd = lock.fd();
    struct stat info;
    if (fd < 0 || ::fstat(fd, &info) != 0) return true;
    // Created by this save and still empty; written meanwhile by a store of
    // another process, it has bytes of its own to keep.
    if (lock.created() && info.st_size == 0) {
        absent_ = true;
        return true;
    }
    Ref content = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(info.st_size)));
    if (!content) return false;  // a file too large to hold is not saved over
    bool complete;
    Py_BEGIN_ALLOW_THREADS
    complete = read_at(fd, PyBytes_AS_STRING(content.get()), PyBytes_GET_SIZE(content.get()), 0);
    Py_END_ALLOW_THREADS
    if (complete) content_ = std::move(content);
    return true;
}

void FormerContent::restore(const FileLock& lock, bool opened) const noexcept {
    // (No descriptor here, after all, in a child forked during the save.)
    if (lock.fd() < 0 || (!absent_ && (!content_ || !opened))) return;
    int error;
    Py_BEGIN_ALLOW_THREADS
    error = absent_ ? lock.remove_created()
                    : put_back(lock, PyBytes_AS_STRING(content_.get()), PyBytes_GET_SIZE(content_.get()));
    Py_END_ALLOW_THREADS
    if (error) add_note(lock.name(), error);
}

}  // namespace ini_main::store
