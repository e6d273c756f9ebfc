// Test helpers for code that prints or works on descriptors: capture of what
// goes to the standard output and error descriptors, and scratch files.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace testsupport {

struct captured_output {
    std::string out;  // bytes written to descriptor 1
    std::string err;  // bytes written to descriptor 2
};

// Points descriptors 1 and 2 at scratch files for its lifetime; stdio
// buffers are flushed on entry and exit so that nothing leaks across.
class output_capture {
public:
    output_capture();
    ~output_capture();
    output_capture(const output_capture &) = delete;
    output_capture &operator=(const output_capture &) = delete;
    // Restores the descriptors and returns what was written meanwhile.
    captured_output finish();

private:
    int saved_[2] = {-1, -1};
    int files_[2] = {-1, -1};
};

template <class F>
captured_output capture_output(F &&body)
{
    output_capture capture;
    std::forward<F>(body)();
    return capture.finish();
}

// An unlinked-on-destruction file in the temporary directory.
class temp_file {
public:
    explicit temp_file(std::span<const uint8_t> contents = {});
    explicit temp_file(std::string_view contents);
    ~temp_file();
    temp_file(const temp_file &) = delete;
    temp_file &operator=(const temp_file &) = delete;

    const std::string &path() const { return path_; }
    void write(std::span<const uint8_t> contents) const;  // replaces the contents
    std::vector<uint8_t> read() const;

private:
    std::string path_;
};

// An open descriptor closed on destruction.
class unique_fd {
public:
    explicit unique_fd(int fd = -1) : fd_(fd) {}
    ~unique_fd();
    unique_fd(unique_fd &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    unique_fd &operator=(unique_fd &&other) noexcept;
    int get() const { return fd_; }

private:
    int fd_;
};

std::vector<uint8_t> bytes_of(std::string_view text);
// Everything from the descriptor's start to its end; the offset is kept.
std::vector<uint8_t> read_all(int fd);

}  // namespace testsupport
