#include "util/fdio.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

[[maybe_unused]] static const char what_string[] = "@(#)|fdio|9|01|2|0|0|07/26/99|14:47:50";

ssize_t fd_read_fully(int fd, void *buffer, std::size_t count)
{
    auto *bytes = static_cast<unsigned char *>(buffer);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::read(fd, bytes + done, count - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

bool fd_write_fully(int fd, const void *buffer, std::size_t count)
{
    const auto *bytes = static_cast<const unsigned char *>(buffer);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(fd, bytes + done, count - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

int64_t fd_bytes_left(int fd)
{
    struct stat status;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode))
        return -1;
    const off_t offset = ::lseek(fd, 0, SEEK_CUR);
    if (offset < 0)
        return -1;
    return status.st_size > offset ? static_cast<int64_t>(status.st_size - offset) : 0;
}

bool fd_sync_directory_of(const char *path)
{
    const char *slash = std::strrchr(path, '/');
    const std::string directory =
        slash == nullptr ? "." : slash == path ? "/" : std::string(path, slash);
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0 || errno == EINVAL;
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return synced;
}

bool fd_open_standard_descriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lowest free descriptor is this one, as those below it are open.
        const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened != fd) {
            if (opened >= 0)
                ::close(opened);
            return false;
        }
    }
    return true;
}
