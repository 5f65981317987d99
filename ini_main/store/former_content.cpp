#include "ini_main/store/former_content.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ini_main::store {

namespace {

bool read_all(int fd, char* buffer, Py_ssize_t size) noexcept {
    for (Py_ssize_t done = 0; done < size;) {
        ssize_t got = ::read(fd, buffer + done, static_cast<size_t>(size - done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;  // an error, or the file shrank meanwhile
        done += got;
    }
    return true;
}

bool write_all(int fd, const char* buffer, Py_ssize_t size) noexcept {
    for (Py_ssize_t done = 0; done < size;) {
        ssize_t put = ::write(fd, buffer + done, static_cast<size_t>(size - done));
        if (put < 0 && errno == EINTR) continue;
        if (put < 0) return false;
        done += put;
    }
    return true;
}

// Runs without the interpreter's lock: plain system calls, no Python code,
// so nothing can interrupt it.  Returns 0 or the errno of the failure.
int put_back(const char* filename, const char* bytes, Py_ssize_t size, bool absent) noexcept {
    if (absent) return ::unlink(filename) == 0 || errno == ENOENT ? 0 : errno;
    int fd = ::open(filename, O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return errno;
    int error = write_all(fd, bytes, size) ? 0 : errno;
    if (::close(fd) != 0 && !error) error = errno;
    return error;
}

void add_note(PyObject* filename, int error) noexcept {
    PyObject* pending = PyErr_GetRaisedException();
    assert(pending);  // a restore follows a failed save
    Ref name = Ref::steal(PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(filename), PyBytes_GET_SIZE(filename)));
    Ref note = name ? Ref::steal(PyUnicode_FromFormat("ini_main: the former content of %R could not be put back "
                                                      "([Errno %d] %s); the file may be cut short",
                                                      name.get(), error, std::strerror(error)))
                    : Ref();
    Ref added = note ? Ref::steal(PyObject_CallMethod(pending, "add_note", "O", note.get())) : Ref();
    // The save's own error stays the one raised; a note that cannot be made
    // is reported as unraisable rather than put over it.
    if (!added) PyErr_WriteUnraisable(pending);
    PyErr_SetRaisedException(pending);
}

}  // namespace

bool FormerContent::take(PyObject* fspath) noexcept {
    PyObject* filename = nullptr;
    if (!PyUnicode_FSConverter(fspath, &filename)) return false;
    Ref name = Ref::steal(filename);
    const char* path = PyBytes_AS_STRING(filename);
    struct stat info;
    int fd = -1;
    bool missing = false;
    Py_BEGIN_ALLOW_THREADS
    // Only a regular file is opened, and without blocking: a FIFO would wait
    // for a writer, and a device may never end.
    if (::stat(path, &info) != 0) {
        // Missing, and not a dangling link (removing the link would not undo the save).
        missing = errno == ENOENT && ::lstat(path, &info) != 0 && errno == ENOENT;
    } else if (S_ISREG(info.st_mode)) {
        fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    }
    Py_END_ALLOW_THREADS
    if (missing) {
        filename_ = std::move(name);
        absent_ = true;
        return true;
    }
    if (fd < 0) return true;  // not a regular file, or none the store can read

    bool ok = true;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        Ref content = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(info.st_size)));
        bool complete = false;
        if (content) {
            Py_BEGIN_ALLOW_THREADS
            complete = read_all(fd, PyBytes_AS_STRING(content.get()), PyBytes_GET_SIZE(content.get()));
            Py_END_ALLOW_THREADS
        }
        ok = static_cast<bool>(content);  // a file too large to hold is not saved over
        if (complete) {
            filename_ = std::move(name);
            content_ = std::move(content);
        }
    }
    ::close(fd);
    return ok;
}

void FormerContent::restore() const noexcept {
    if (!content_ && !absent_) return;
    const char* bytes = content_ ? PyBytes_AS_STRING(content_.get()) : nullptr;
    const Py_ssize_t size = content_ ? PyBytes_GET_SIZE(content_.get()) : 0;
    int error;
    Py_BEGIN_ALLOW_THREADS
    error = put_back(PyBytes_AS_STRING(filename_.get()), bytes, size, absent_);
    Py_END_ALLOW_THREADS
    if (error) add_note(filename_.get(), error);
}

}  // namespace ini_main::store
