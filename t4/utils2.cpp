// Callbacks that join the decoders and the encoder in the fax file
// recompression. The decoder's lines of a page gather in one growing buffer;
// the encoder takes them in one batch and its words go straight to the
// temporary file, the page length being filled in afterwards.
#include "t4/utils2.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "t4/t4dec.h"
#include "util/fdio.h"

[[maybe_unused]] static const char what_string[] = "@(#)|utils2|9|01|2|0|0|07/26/99|14:47:50";

change_format_state change_format;

namespace {

// 2427 lines of 216 bytes at first; longer pages grow it step by step.
constexpr uint32_t FIRST_LINE_CAPACITY = 0x80000;
constexpr uint32_t LINE_CAPACITY_STEP = 0x10000;
constexpr int WORDS_PER_WRITE = 256;

void fail_page(change_format_fault fault, int error)
{
    if (change_format.fault == change_format_fault::none) {
        change_format.fault = fault;
        change_format.fault_errno = error;
    }
}

int bytes_per_line() { return (t4_line_width + 7) / 8; }

bool write_all(int fd, const unsigned char *bytes, std::size_t count)
{
    if (fd_write_fully(fd, bytes, count))
        return true;
    fail_page(change_format_fault::write_failed, errno);
    return false;
}

bool write_all_at(int fd, const unsigned char *bytes, std::size_t count, off_t offset)
{
    while (count > 0) {
        const ssize_t n = ::pwrite(fd, bytes, count, offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            fail_page(change_format_fault::write_failed, n < 0 ? errno : ENOSPC);
            return false;
        }
        bytes += n;
        count -= static_cast<std::size_t>(n);
        offset += n;
    }
    return true;
}

// Capacity for `needed` bytes: 512 KiB at first, then 64 KiB steps. A size
// past 32 bits or a failed allocation keeps the old buffer.
bool ensure_line_room(uint64_t needed)
{
    uint64_t capacity = change_format.line_capacity;
    if (capacity == 0)
        capacity = FIRST_LINE_CAPACITY;
    if (needed > capacity)
        capacity += (needed - capacity + LINE_CAPACITY_STEP - 1) / LINE_CAPACITY_STEP *
                    LINE_CAPACITY_STEP;
    if (capacity == change_format.line_capacity)
        return true;
    if (capacity > UINT32_MAX)
        return false;
    void *grown = std::realloc(change_format.lines, static_cast<std::size_t>(capacity));
    if (grown == nullptr)
        return false;
    change_format.lines = static_cast<unsigned char *>(grown);
    change_format.line_capacity = static_cast<uint32_t>(capacity);
    return true;
}

void put_be32(unsigned char *out, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<unsigned char>(value >> (24 - 8 * i));
}

}  // namespace

extern "C" {

// A line that can't be kept spoils the page rather than vanish from it.
void change_format_collect_line(const unsigned char *line, int byte_count)
{
    change_format.runs_pending = false;
    if (line == nullptr || byte_count <= 0 || change_format.fault != change_format_fault::none)
        return;
    const uint64_t needed = uint64_t{change_format.line_fill} + static_cast<uint64_t>(byte_count);
    if (!ensure_line_room(needed)) {
        fail_page(change_format_fault::no_memory, ENOMEM);
        return;
    }
    std::memcpy(change_format.lines + change_format.line_fill, line,
                static_cast<std::size_t>(byte_count));
    change_format.line_fill = static_cast<uint32_t>(needed);
}

void change_format_note_run(int32_t /*run*/)
{
    change_format.runs_pending = true;
}

// The whole page as one batch, then the end.
int change_format_get_lines(unsigned char **first_line, int *line_count)
{
    if (change_format.line_fill == 0)
        return -1;
    const int bytes = bytes_per_line();
    *first_line = change_format.lines;
    *line_count = static_cast<int>(change_format.line_fill / static_cast<uint32_t>(bytes));
    change_format.line_fill = 0;
    return bytes;
}

// Words go out low byte first, so the file's bit stream starts at bit 0 of
// the first byte. A failure stops the encoder (negative result) and is kept
// for the recompression, which also sees failures of the final flush.
int change_format_write_words(const uint16_t *words, int word_count)
{
    if (words == nullptr || word_count <= 0)
        return 0;
    const uint64_t total = uint64_t{change_format.page_bytes} + 2 * uint64_t(word_count);
    if (change_format.fault != change_format_fault::none || word_count > INT32_MAX / 2 ||
        total > UINT32_MAX) {
        fail_page(change_format_fault::write_failed, EFBIG);
        return -1;
    }
    unsigned char bytes[2 * WORDS_PER_WRITE];
    for (int done = 0; done < word_count;) {
        const int n = word_count - done < WORDS_PER_WRITE ? word_count - done : WORDS_PER_WRITE;
        for (int i = 0; i < n; ++i) {
            bytes[2 * i] = static_cast<unsigned char>(words[done + i] & 0xFF);
            bytes[2 * i + 1] = static_cast<unsigned char>(words[done + i] >> 8);
        }
        if (!write_all(change_format.temp_fd, bytes, 2 * static_cast<std::size_t>(n)))
            return -1;
        done += n;
    }
    change_format.page_bytes = static_cast<uint32_t>(total);
    return 2 * word_count;
}

}  // extern "C"

void change_format_begin_page()
{
    change_format.page_bytes = 0;
    change_format.line_fill = 0;
    change_format.length_slot = -1;
    change_format.fault = change_format_fault::none;
    change_format.fault_errno = 0;
    change_format.runs_pending = false;
}

bool change_format_reserve_length()
{
    const off_t slot = ::lseek(change_format.temp_fd, 0, SEEK_CUR);
    if (slot < 0) {
        fail_page(change_format_fault::write_failed, errno);
        return false;
    }
    const unsigned char placeholder[4] = {};
    if (!write_all(change_format.temp_fd, placeholder, sizeof placeholder))
        return false;
    change_format.length_slot = slot;
    return true;
}

bool change_format_finish_page()
{
    unsigned char length[4];
    put_be32(length, change_format.page_bytes);
    return write_all_at(change_format.temp_fd, length, sizeof length, change_format.length_slot);
}

bool change_format_close_temp()
{
    const int fd = change_format.temp_fd;
    change_format.temp_fd = -1;
    if (fd < 0)
        return false;
    // Errors of delayed writes show up here at the latest; the fax file is
    // only replaced by data known to be on disk.
    bool ok = ::fsync(fd) == 0 || errno == EINVAL;
    if (!ok)
        fail_page(change_format_fault::write_failed, errno);
    if (::close(fd) != 0 && ok) {
        fail_page(change_format_fault::write_failed, errno);
        ok = false;
    }
    return ok;
}

void change_format_discard_temp()
{
    if (change_format.temp_fd >= 0)
        ::close(change_format.temp_fd);
    change_format.temp_fd = -1;
    if (change_format.temp_name[0] != '\0')
        ::unlink(change_format.temp_name);
    change_format.temp_name[0] = '\0';
}

void change_format_release_lines()
{
    std::free(change_format.lines);
    change_format.lines = nullptr;
    change_format.line_capacity = 0;
    change_format.line_fill = 0;
}
