#include "ini_main/store/former_content.hpp"

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
        if (put <= 0) return false;
        done += put;
    }
    return true;
}

}  // namespace

FormerContent FormerContent::take(PyObject* path) noexcept {
    FormerContent former;
    PyObject* filename = nullptr;
    if (!PyUnicode_FSConverter(path, &filename)) {
        PyErr_Clear();  // the open that follows reports what is wrong with the path
        return former;
    }
    Ref name = Ref::steal(filename);
    int fd;
    Py_BEGIN_ALLOW_THREADS
    fd = ::open(PyBytes_AS_STRING(filename), O_RDONLY | O_CLOEXEC);
    Py_END_ALLOW_THREADS
    if (fd < 0) return former;  // no file yet, or none the store could read

    struct stat info;
    // Only regular files: a device such as /dev/zero never ends.
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        Ref content = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(info.st_size)));
        bool complete = false;
        if (content) {
            Py_BEGIN_ALLOW_THREADS
            complete = read_all(fd, PyBytes_AS_STRING(content.get()), PyBytes_GET_SIZE(content.get()));
            Py_END_ALLOW_THREADS
        } else {
            PyErr_Clear();  // too large to keep: saved without a way back
        }
        if (complete) {
            former.filename_ = std::move(name);
            former.content_ = std::move(content);
        }
    }
    ::close(fd);
    return former;
}

void FormerContent::restore() const noexcept {
    if (!content_) return;
    const char* filename = PyBytes_AS_STRING(filename_.get());
    const char* bytes = PyBytes_AS_STRING(content_.get());
    const Py_ssize_t size = PyBytes_GET_SIZE(content_.get());
    Py_BEGIN_ALLOW_THREADS
    int fd = ::open(filename, O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd >= 0) {
        write_all(fd, bytes, size);
        ::close(fd);
    }
    Py_END_ALLOW_THREADS
}

}  // namespace ini_main::store
