#include "tests/support/capture.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace testsupport {

namespace {

std::string temp_dir()
{
    const char *dir = std::getenv("TMPDIR");
    return dir && *dir ? dir : "/tmp";
}

int scratch_fd(std::string *path_out)
{
    std::string pattern = temp_dir() + "/tavrin-test-XXXXXX";
    int fd = mkstemp(pattern.data());
    if (fd < 0)
        throw std::runtime_error("mkstemp failed in " + temp_dir());
    if (path_out)
        *path_out = pattern;
    else
        unlink(pattern.c_str());
    return fd;
}

void write_fd(int fd, std::span<const uint8_t> bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            throw std::runtime_error("write to scratch file failed");
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace

output_capture::output_capture()
{
    std::fflush(stdout);
    std::fflush(stderr);
    for (int i = 0; i < 2; ++i) {
        files_[i] = scratch_fd(nullptr);
        saved_[i] = dup(i + 1);
        dup2(files_[i], i + 1);
    }
}

captured_output output_capture::finish()
{
    std::fflush(stdout);
    std::fflush(stderr);
    std::string text[2];
    for (int i = 0; i < 2; ++i) {
        if (saved_[i] < 0)
            continue;
        dup2(saved_[i], i + 1);
        close(saved_[i]);
        saved_[i] = -1;
        std::vector<uint8_t> bytes = read_all(files_[i]);
        text[i].assign(bytes.begin(), bytes.end());
        close(files_[i]);
        files_[i] = -1;
    }
    return {text[0], text[1]};
}

output_capture::~output_capture() { finish(); }

temp_file::temp_file(std::span<const uint8_t> contents)
{
    int fd = scratch_fd(&path_);
    write_fd(fd, contents);
    close(fd);
}

temp_file::temp_file(std::string_view contents) : temp_file(bytes_of(contents)) {}

temp_file::~temp_file() { unlink(path_.c_str()); }

void temp_file::write(std::span<const uint8_t> contents) const
{
    unique_fd fd(open(path_.c_str(), O_WRONLY | O_TRUNC));
    if (fd.get() < 0)
        throw std::runtime_error("cannot reopen " + path_);
    write_fd(fd.get(), contents);
}

std::vector<uint8_t> temp_file::read() const
{
    unique_fd fd(open(path_.c_str(), O_RDONLY));
    if (fd.get() < 0)
        throw std::runtime_error("cannot reopen " + path_);
    return read_all(fd.get());
}

unique_fd::~unique_fd()
{
    if (fd_ >= 0)
        close(fd_);
}

unique_fd &unique_fd::operator=(unique_fd &&other) noexcept
{
    if (this != &other) {
        if (fd_ >= 0)
            close(fd_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

std::vector<uint8_t> bytes_of(std::string_view text)
{
    return {text.begin(), text.end()};
}

std::vector<uint8_t> read_all(int fd)
{
    std::vector<uint8_t> bytes;
    uint8_t chunk[65536];
    for (off_t offset = 0;;) {
        ssize_t n = pread(fd, chunk, sizeof chunk, offset);
        if (n <= 0)
            break;
        bytes.insert(bytes.end(), chunk, chunk + n);
        offset += n;
    }
    return bytes;
}

}  // namespace testsupport
