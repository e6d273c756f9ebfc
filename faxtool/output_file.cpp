// Temporary-name outputs.
#include "faxtool/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

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

static std::string directory_of(const std::string &path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

static std::string name_of(const std::string &path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
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
    std::string directory = directory_of(path);
    std::string temp = directory + "/." + name_of(path) + ".XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) {
        reason = "cannot create a file in " + directory + ": " + std::strerror(errno);
        return false;
    }
    // mkstemp makes the file private; the output gets the usual permissions.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    out.temp_path = temp;
    out.stream = fdopen(fd, "wb");
    if (out.stream == nullptr) {
        reason = std::strerror(errno);
        close(fd);
        unlink(temp.c_str());
        out.temp_path.clear();
        return false;
    }
    return true;
}

bool output_commit(output_file &out, std::string &reason)
{
    if (out.stream == nullptr)
        return false;
    if (out.temp_path.empty()) {  // standard output or a device
        errno = 0;
        bool ok = std::fflush(out.stream) == 0 && std::ferror(out.stream) == 0;
        const int error = errno;
        if (out.direct && std::fclose(out.stream) != 0)
            ok = false;
        out.stream = nullptr;
        if (!ok && out.direct) {
            reason = std::strerror(error != 0 ? error : EIO);
            return false;
        }
        if (!ok)
            reason = std::strerror(errno);
        return ok;
    }
    errno = 0;
    bool ok = std::fflush(out.stream) == 0 && std::ferror(out.stream) == 0;
    ok = ok && fsync(fileno(out.stream)) == 0;
    int error = errno;
    if (std::fclose(out.stream) != 0 && ok) {
        ok = false;
        error = errno;
    }
    out.stream = nullptr;
    if (ok && rename(out.temp_path.c_str(), out.path.c_str()) != 0) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        reason = std::strerror(error != 0 ? error : EIO);
        unlink(out.temp_path.c_str());
    }
    out.temp_path.clear();
    return ok;
}

void output_abandon(output_file &out)
{
    if (out.stream != nullptr && (!out.temp_path.empty() || out.direct))
        std::fclose(out.stream);
    out.stream = nullptr;
    if (!out.temp_path.empty())
        unlink(out.temp_path.c_str());
    out.temp_path.clear();
}
