// Kept text, spilled to an unnamed file past its share of memory.
#include "faxtool/kept_text.h"

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <vector>

namespace {

// A file no name reaches: O_TMPFILE where the file system has it, else a
// name removed at once.
int open_spill_file()
{
    const std::string directory = kept_directory();
    const int fd = open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0)
        return fd;
    std::string name = directory + "/.faxtool-XXXXXX";
    const int named = mkostemp(name.data(), O_CLOEXEC);
    if (named >= 0)
        unlink(name.c_str());
    return named;
}

// Writes what it can; the count of bytes written.
std::size_t write_some(int fd, std::string_view bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t put = write(fd, bytes.data() + done, bytes.size() - done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            break;
        done += static_cast<std::size_t>(put);
    }
    return done;
}

ssize_t cookie_write(void *cookie, const char *data, std::size_t size)
{
    kept_append(*static_cast<kept_text *>(cookie), std::string_view(data, size));
    return static_cast<ssize_t>(size);
}

}  // namespace

kept_text::~kept_text()
{
    if (spill >= 0)
        close(spill);
}

std::string kept_directory()
{
    const char *tmpdir = std::getenv("TMPDIR");
    return tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp";
}

void kept_append(kept_text &text, std::string_view bytes)
{
    if (text.spill < 0 && !text.spill_failed) {
        const std::size_t room = KEPT_IN_MEMORY - text.head.size();
        if (bytes.size() <= room) {
            text.head.append(bytes);
            return;
        }
        text.head.append(bytes.substr(0, room));
        bytes.remove_prefix(room);
        text.spill = open_spill_file();
        text.spill_failed = text.spill < 0;
    }
    text.tail.append(bytes);
    if (text.spill_failed || text.tail.size() < KEPT_WRITE_SIZE)
        return;
    const std::size_t written = write_some(text.spill, text.tail);
    text.spilled += written;
    text.tail.erase(0, written);
    text.spill_failed = !text.tail.empty();
}

bool kept_write(const kept_text &text, FILE *out)
{
    std::fwrite(text.head.data(), 1, text.head.size(), out);
    std::vector<char> buffer(text.spilled > 0 ? 65536 : 0);
    for (uint64_t at = 0; at < text.spilled;) {
        const std::size_t want = static_cast<std::size_t>(std::min<uint64_t>(buffer.size(), text.spilled - at));
        const ssize_t got = pread(text.spill, buffer.data(), want, static_cast<off_t>(at));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        std::fwrite(buffer.data(), 1, static_cast<std::size_t>(got), out);
        at += static_cast<uint64_t>(got);
    }
    std::fwrite(text.tail.data(), 1, text.tail.size(), out);
    return true;
}

FILE *kept_stream(kept_text &text)
{
    cookie_io_functions_t functions{};
    functions.write = cookie_write;
    return fopencookie(&text, "w", functions);
}
