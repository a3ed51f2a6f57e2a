// A descriptor that is closed on every way out of its scope.
#pragma once

#include <unistd.h>

#include <cerrno>

class Unique_Fd {
public:
    explicit Unique_Fd(int fd = -1) : m_fd(fd) {}
    ~Unique_Fd() {
        if (m_fd >= 0) ::close(m_fd);
    }
    Unique_Fd(const Unique_Fd&) = delete;
    Unique_Fd& operator=(const Unique_Fd&) = delete;

    int get() const { return m_fd; }
    void reset(int fd) {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = fd;
    }
    int release() {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    // Closes now, for a caller that must know whether the close failed
    // (a written file's last error can come only here); 0 or the errno.
    int close() {
        const int fd = release();
        return fd >= 0 && ::close(fd) != 0 ? errno : 0;
    }

private:
    int m_fd;
};
