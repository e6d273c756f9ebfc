// New files named only when complete.
#include "faxtool/output_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

namespace {

constexpr int NAME_ATTEMPTS = 100;

// ".ft" and eight random letters or digits: short enough beside any legal
// name, and a stale one left by a killed run is never picked again.
std::string random_name()
{
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    unsigned char bytes[NEW_FILE_LETTERS];
    if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        static unsigned long counter = 0;
        unsigned long long mix = static_cast<unsigned long long>(now.tv_nsec) * 6364136223846793005ULL ^
                                 static_cast<unsigned long long>(getpid()) << 20 ^ ++counter;
        for (unsigned char &b : bytes) {
            mix = mix * 6364136223846793005ULL + 1442695040888963407ULL;
            b = static_cast<unsigned char>(mix >> 56);
        }
    }
    std::string name(NEW_FILE_PREFIX);
    for (unsigned char b : bytes)
        name += letters[b % (sizeof letters - 1)];
    return name;
}

void close_if_open(int &fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

std::string creation_failure(const std::string &directory, int error)
{
    return "cannot create a file in " + directory + ": " + std::strerror(error);
}

// Gives the unnamed file a name in its directory. The descriptor itself
// needs a capability; its /proc link does not.
int link_unnamed(const new_file &file, const std::string &name)
{
    if (linkat(file.fd, "", file.dir_fd, name.c_str(), AT_EMPTY_PATH) == 0)
        return 0;
    if (errno == EEXIST)
        return -1;
    const std::string self = "/proc/self/fd/" + std::to_string(file.fd);
    return linkat(AT_FDCWD, self.c_str(), file.dir_fd, name.c_str(), AT_SYMLINK_FOLLOW);
}

// The two steps of replacing a file with the unnamed one, for a process of
// their own: 0, or the errno of the step that failed (EEXIST: the hidden
// name is taken). Only system calls, so that a vfork child may run it.
int link_and_rename(int fd, int dir_fd, const char *fd_link, const char *hidden, const char *target)
{
    if (linkat(fd, "", dir_fd, hidden, AT_EMPTY_PATH) != 0) {
        if (errno == EEXIST || linkat(AT_FDCWD, fd_link, dir_fd, hidden, AT_SYMLINK_FOLLOW) != 0)
            return errno;
    }
    if (renameat(dir_fd, hidden, dir_fd, target) != 0) {
        const int error = errno;
        unlinkat(dir_fd, hidden, 0);
        return error;
    }
    return 0;
}

#if defined(__SANITIZE_THREAD__)
#define FAXTOOL_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define FAXTOOL_THREAD_SANITIZER 1
#endif
#endif
#ifndef FAXTOOL_THREAD_SANITIZER
#define FAXTOOL_THREAD_SANITIZER 0
#endif

// A kill between naming the new file and renaming it over the old one
// would leave it under its hidden name. A child, which a kill of this
// process does not reach, takes both steps; -1 when there is no child.
int link_and_rename_in_child(int fd, int dir_fd, const char *fd_link, const char *hidden, const char *target)
{
#if FAXTOOL_THREAD_SANITIZER
    // ThreadSanitizer makes vfork a fork and checks the child at _exit: a
    // pool thread that has finished but is not yet joined fails it.
    return -1;
#endif
    const pid_t child = vfork();
    if (child == 0)
        _exit(link_and_rename(fd, dir_fd, fd_link, hidden, target));
    if (child < 0)
        return -1;
    int status = 0;
    while (waitpid(child, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Puts the unnamed file in place of `name`: false with errno set.
bool replace_with_unnamed(const new_file &file, const std::string &name)
{
    const std::string fd_link = "/proc/self/fd/" + std::to_string(file.fd);
    for (int attempt = 0; attempt < NAME_ATTEMPTS; ++attempt) {
        const std::string hidden = random_name();
        int result = link_and_rename_in_child(file.fd, file.dir_fd, fd_link.c_str(), hidden.c_str(), name.c_str());
        if (result < 0)
            result = link_and_rename(file.fd, file.dir_fd, fd_link.c_str(), hidden.c_str(), name.c_str());
        if (result == 0)
            return true;
        errno = result;
        if (result != EEXIST)
            return false;
    }
    return false;
}

}  // namespace

bool is_new_file_name(std::string_view name)
{
    const std::size_t prefix = NEW_FILE_PREFIX.size();
    return name.size() == prefix + NEW_FILE_LETTERS && name.substr(0, prefix) == NEW_FILE_PREFIX &&
           std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix), name.end(),
                       [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; });
}

std::string directory_of(const std::string &path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string name_of(const std::string &path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool new_file_create(new_file &file, const std::string &directory, mode_t mode, std::string &reason,
                     bool unnamed)
{
    file = new_file{};
    file.directory = directory;
    file.dir_fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (file.dir_fd < 0 && errno == EACCES)  // a directory one may write but not list
        file.dir_fd = open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (file.dir_fd < 0) {
        reason = creation_failure(directory, errno);
        return false;
    }
    if (unnamed) {
        file.fd = openat(file.dir_fd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
        if (file.fd >= 0)
            return true;
        // Only a file system without unnamed files sends us to named ones.
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
            reason = creation_failure(directory, errno);
            close_if_open(file.dir_fd);
            return false;
        }
    }
    for (int attempt = 0; attempt < NAME_ATTEMPTS; ++attempt) {
        const std::string name = random_name();
        file.fd = openat(file.dir_fd, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (file.fd >= 0) {
            file.temp_name = name;
            return true;
        }
        if (errno != EEXIST)
            break;
    }
    reason = creation_failure(directory, errno);
    close_if_open(file.dir_fd);
    return false;
}

bool new_file_install(new_file &file, const std::string &name, std::string &reason, install_check check,
                      void *user)
{
    if (file.fd < 0 || file.dir_fd < 0) {
        reason = "no file to put in place";
        return false;
    }
    // Only data known to be on the disk replaces a file.
    if (fsync(file.fd) != 0 && errno != EINVAL) {
        reason = std::strerror(errno);
        new_file_discard(file);
        return false;
    }
    bool placed = false;
    if (file.temp_name.empty() && check == nullptr) {
        // Nothing to replace and nothing to check: the name comes at once.
        placed = link_unnamed(file, name) == 0;
        if (!placed && errno != EEXIST) {
            reason = std::strerror(errno);
            new_file_discard(file);
            return false;
        }
    }
    if (!placed && check != nullptr && !check(user, reason)) {
        new_file_discard(file);
        return false;
    }
    // Replacing takes a name of its own first: rename is what is atomic.
    if (!placed && file.temp_name.empty()) {
        if (!replace_with_unnamed(file, name)) {
            reason = "cannot put the new file in place in " + file.directory + ": " + std::strerror(errno);
            new_file_discard(file);
            return false;
        }
        placed = true;
    }
    if (!placed && renameat(file.dir_fd, file.temp_name.c_str(), file.dir_fd, name.c_str()) != 0) {
        reason = std::strerror(errno);
        new_file_discard(file);
        return false;
    }
    file.temp_name.clear();
    // The new name lasts once the directory is on the disk; a file system
    // that cannot sync a directory has done what it can.
    fsync(file.dir_fd);
    close_if_open(file.fd);
    close_if_open(file.dir_fd);
    return true;
}

void new_file_discard(new_file &file)
{
    close_if_open(file.fd);
    if (!file.temp_name.empty() && file.dir_fd >= 0)
        unlinkat(file.dir_fd, file.temp_name.c_str(), 0);
    file.temp_name.clear();
    close_if_open(file.dir_fd);
}

bool is_one_of_inputs(const std::string &path, const std::vector<std::string> &inputs)
{
    struct stat target;
    if (stat(path.c_str(), &target) != 0)
        return false;
    for (const std::string &input : inputs) {
        struct stat st;
        if (stat(input.c_str(), &st) == 0 && st.st_dev == target.st_dev && st.st_ino == target.st_ino)
            return true;
    }
    return false;
}

bool link_target(const std::string &path, std::string &target, std::string &reason)
{
    target = path;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
        return true;
    std::unique_ptr<char, void (*)(void *)> resolved(realpath(path.c_str(), nullptr), std::free);
    if (!resolved) {
        reason = std::string("cannot follow the link: ") + std::strerror(errno);
        return false;
    }
    target = resolved.get();
    return true;
}

bool output_open(output_file &out, const std::string &path, const std::vector<std::string> &inputs,
                 std::string &reason)
{
    out = output_file{};
    out.path = path;
    if (path == "-") {
        out.stream = stdout;
        return true;
    }
    if (is_one_of_inputs(path, inputs)) {
        reason = "is an input; it is not written over";
        return false;
    }
    // A device or pipe is written as it is: renaming over it would replace
    // it, and nothing partial can be left in it anyway.
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
        out.stream = std::fopen(path.c_str(), "wb");
        if (out.stream == nullptr) {
            reason = std::strerror(errno);
            return false;
        }
        out.direct = true;
        return true;
    }
    if (!link_target(path, out.target, reason) || !new_file_create(out.file, directory_of(out.target), 0666, reason))
        return false;
    // The stream has a descriptor of its own: closing it leaves the file's,
    // which gives the file its name.
    const int fd = dup(out.file.fd);
    out.stream = fd >= 0 ? fdopen(fd, "wb") : nullptr;
    if (out.stream == nullptr) {
        reason = std::strerror(errno);
        if (fd >= 0)
            close(fd);
        new_file_discard(out.file);
        return false;
    }
    return true;
}

bool output_commit(output_file &out, std::string &reason)
{
    if (out.stream == nullptr)
        return false;
    errno = 0;
    bool ok = std::fflush(out.stream) == 0 && std::ferror(out.stream) == 0;
    int error = errno;
    const bool owned = out.direct || out.file.fd >= 0;
    if (owned && std::fclose(out.stream) != 0 && ok) {
        ok = false;
        error = errno;
    }
    out.stream = nullptr;
    if (out.file.fd < 0) {  // standard output or a device
        if (!ok)
            reason = std::strerror(error != 0 ? error : EIO);
        return ok;
    }
    if (!ok) {
        reason = std::strerror(error != 0 ? error : EIO);
        new_file_discard(out.file);
        return false;
    }
    return new_file_install(out.file, name_of(out.target), reason);
}

void output_abandon(output_file &out)
{
    if (out.stream != nullptr && (out.file.fd >= 0 || out.direct))
        std::fclose(out.stream);
    out.stream = nullptr;
    new_file_discard(out.file);
}

void output_date_before(const std::string &output, const std::string &input)
{
    struct stat seen;
    if (output == "-" || stat(input.c_str(), &seen) != 0)
        return;
    timespec times[2] = {{0, UTIME_OMIT}, seen.st_mtim};
    times[1].tv_sec -= 1;
    utimensat(AT_FDCWD, output.c_str(), times, 0);
}
