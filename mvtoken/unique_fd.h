#ifndef MVTOKEN_UNIQUE_FD_H
#define MVTOKEN_UNIQUE_FD_H

#include <unistd.h>

namespace mvtoken {

// Owns a file descriptor and closes it when it goes, also when an exception passes: the
// library turns exceptions into result codes and goes on, so a descriptor left open would
// stay open for good (for the store's lock, with the lock still held).
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;

    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    // Closes the descriptor held (if any) and takes `fd`.
    void reset(int fd = -1)
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }
    // Closes the descriptor now; the result of close().
    int close()
    {
        const int rc = m_fd >= 0 ? ::close(m_fd) : 0;
        m_fd = -1;
        return rc;
    }

private:
    int m_fd = -1;
};

} // namespace mvtoken

#endif // MVTOKEN_UNIQUE_FD_H
