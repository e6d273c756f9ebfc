// The fax file reader: the whole file in memory, its header as attributes
// and codes, and its pages as pointers into the bytes.
#include "faxfile/fax_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "faxfile/fax_header_internal.h"
#include "faxfile/page_walk.h"
#include "faxfile/stated_pages.h"
#include "util/fdio.h"
#include "util/whitespace.h"

// Everything the record points at. The vectors are reserved before they are
// filled, so no exception is thrown once the allocations succeed; the few
// allocations themselves are guarded by the callers' try blocks.
struct fax_file_storage {
    std::vector<unsigned char> bytes;
    std::vector<std::string> texts;  // name, value, name, value, ...
    std::vector<fax_attribute> attributes;
    std::vector<fax_page> pages;
    std::string damage_text;
    std::size_t first_page = 0;    // offset of the first page's length field
    std::size_t end_of_pages = 0;  // just after the last complete page
};

namespace {

constexpr const char *WHO = "fax_file_open";

struct header_deleter {
    void operator()(fax_header *list) const { free_fax_header(list); }
};

char first_significant(const char *value)
{
    while (is_white_space(*value))
        ++value;
    return *value;
}

// The code of an attribute holding one code character, -1 when it is
// missing, empty or no code.
int attribute_code(const fax_header *list, const char *name, int (*to_code)(char))
{
    const char *value = lookup_fax_header(list, name);
    if (value == nullptr || *value == '\0')
        return -1;
    return to_code(first_significant(value));
}

void split_pages(fax_file_storage &store, std::size_t at, long stated, bool records, std::size_t &count,
                 int &damage)
{
    const unsigned char *bytes = store.bytes.data();
    const auto length_at = [&](std::size_t field, uint32_t &length) {
        length = load_be32(bytes + field);
        return true;
    };
    // Counted first, so that the records take the room the pages need: a
    // bound from the file's size would take six times the file.
    count = 0;
    store.first_page = store.end_of_pages = at;
    page_walk_end end;
    walk_fax_pages(
        at, store.bytes.size(), stated, length_at,
        [&](std::size_t data, uint32_t length) {
            ++count;
            store.end_of_pages = data + length;
        },
        end);
    if (records) {
        store.pages.reserve(count);
        walk_fax_pages(
            at, store.bytes.size(), stated, length_at,
            [&](std::size_t data, uint32_t length) { store.pages.push_back({bytes + data, length, data}); }, end);
    }
    damage = end.damage;
    store.damage_text = std::move(end.text);
}

void say(const message_sink &sink, const std::string &reason)
{
    message_put(sink, {stderr}, (std::string(WHO) + ": " + reason + "\n").c_str());
}

// Makes the record over bytes already in store; null after a message.
fax_file *open_bytes(std::unique_ptr<fax_file_storage> store, const message_sink &sink, unsigned flags = 0)
{
    std::size_t pages_at = 0;
    std::unique_ptr<fax_header, header_deleter> header(
        parse_fax_header(store->bytes.data(), store->bytes.size(), &pages_at, sink, WHO));
    if (!header)
        return nullptr;
    std::size_t count = 0;
    for (const fax_header *node = header.get(); node != nullptr; node = node->next)
        ++count;
    store->texts.reserve(2 * count);
    store->attributes.reserve(count);
    for (const fax_header *node = header.get(); node != nullptr; node = node->next) {
        store->texts.emplace_back(node->attr);
        store->texts.emplace_back(node->value);
    }
    for (std::size_t i = 0; i < count; ++i)
        store->attributes.push_back({store->texts[2 * i].c_str(), store->texts[2 * i + 1].c_str()});

    auto file = std::make_unique<fax_file>();
    file->attributes = store->attributes.data();
    file->attribute_count = count;
    file->resolution = attribute_code(header.get(), "RESOLUTION", char_to_resolution);
    file->compression = attribute_code(header.get(), "COMPRESSION", char_to_compression);
    file->decode_mode = lookup_fax_header(header.get(), "COMPRESSION") == nullptr ||
                                *lookup_fax_header(header.get(), "COMPRESSION") == '\0'
                            ? COMP_MH
                            : file->compression;
    const stated_pages stated = read_stated_pages(header.get());
    file->pages_stated = stated.exact ? stated.leading : -1;
    file->damage = FAX_DAMAGE_NONE;
    const bool records = (flags & FAX_FILE_NO_PAGE_RECORDS) == 0;
    split_pages(*store, pages_at, file->pages_stated, records, file->page_count, file->damage);
    file->pages = records ? store->pages.data() : nullptr;
    file->damage_text = store->damage_text.c_str();
    file->storage = store.release();
    return file.release();
}

// The magic and the header length come first, alone: what lacks the magic
// (a large file of another kind, an endless device) is not read on, and
// the header parser refuses the bytes read.
bool read_all(int fd, std::vector<unsigned char> &bytes)
{
    constexpr std::size_t PREFIX = 8;
    unsigned char buffer[65536];
    const ssize_t first = fd_read_fully(fd, buffer, PREFIX);
    if (first < 0)
        return false;
    bytes.assign(buffer, buffer + first);
    if (static_cast<std::size_t>(first) < PREFIX || load_be32(buffer) != FAX_FILE_MAGIC)
        return true;
    const int64_t size = fd_bytes_left(fd);
    if (size > 0)
        bytes.reserve(PREFIX + static_cast<std::size_t>(size));
    for (;;) {
        const ssize_t got = fd_read_fully(fd, buffer, sizeof buffer);
        if (got < 0)
            return false;
        bytes.insert(bytes.end(), buffer, buffer + got);
        if (static_cast<std::size_t>(got) < sizeof buffer)
            return true;
    }
}

}  // namespace

fax_file *fax_file_open(const char *path, tavrin_message_fn message, void *user)
{
    return fax_file_open_flags(path, 0, message, user);
}

fax_file *fax_file_open_flags(const char *path, unsigned flags, tavrin_message_fn message, void *user)
{
    const message_sink sink{message, user};
    try {
        if (path == nullptr) {
            say(sink, "no file name");
            return nullptr;
        }
        const int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            say(sink, std::string("open(\"") + path + "\") failed: " + std::strerror(errno));
            return nullptr;
        }
        auto store = std::make_unique<fax_file_storage>();
        const bool read = read_all(fd, store->bytes);
        const int read_errno = errno;
        close(fd);
        if (!read) {
            say(sink, std::string("read(\"") + path + "\") failed: " + std::strerror(read_errno));
            return nullptr;
        }
        return open_bytes(std::move(store), sink, flags);
    } catch (const std::bad_alloc &) {
        message_put(sink, {stderr}, "fax_file_open: Out of memory\n");
        return nullptr;
    }
}

fax_file *fax_file_open_fd(int fd, tavrin_message_fn message, void *user)
{
    return fax_file_open_fd_flags(fd, 0, message, user);
}

fax_file *fax_file_open_fd_flags(int fd, unsigned flags, tavrin_message_fn message, void *user)
{
    const message_sink sink{message, user};
    try {
        auto store = std::make_unique<fax_file_storage>();
        if (!read_all(fd, store->bytes)) {
            say(sink, std::strerror(errno));
            return nullptr;
        }
        return open_bytes(std::move(store), sink, flags);
    } catch (const std::bad_alloc &) {
        message_put(sink, {stderr}, "fax_file_open: Out of memory\n");
        return nullptr;
    }
}

fax_file *fax_file_open_memory(const void *bytes, std::size_t size, tavrin_message_fn message,
                               void *user)
{
    return fax_file_open_memory_flags(bytes, size, 0, message, user);
}

fax_file *fax_file_open_memory_flags(const void *bytes, std::size_t size, unsigned flags,
                                     tavrin_message_fn message, void *user)
{
    const message_sink sink{message, user};
    try {
        auto store = std::make_unique<fax_file_storage>();
        if (size > 0 && bytes != nullptr) {
            const auto *first = static_cast<const unsigned char *>(bytes);
            store->bytes.assign(first, first + size);
        }
        return open_bytes(std::move(store), sink, flags);
    } catch (const std::bad_alloc &) {
        message_put(sink, {stderr}, "fax_file_open: Out of memory\n");
        return nullptr;
    }
}

int fax_file_next_page(const fax_file *file, uint64_t *cursor, fax_page *page)
{
    if (file == nullptr || cursor == nullptr || page == nullptr)
        return 0;
    const fax_file_storage &store = *file->storage;
    const uint64_t at = *cursor == 0 ? store.first_page : *cursor;
    // A cursor from elsewhere reads nothing outside the pages walked.
    if (at < store.first_page || at >= store.end_of_pages || store.end_of_pages - at < 4)
        return 0;
    const std::size_t field = static_cast<std::size_t>(at);
    const uint32_t length = load_be32(store.bytes.data() + field);
    if (length > store.end_of_pages - field - 4)
        return 0;
    *page = {store.bytes.data() + field + 4, length, field + 4};
    *cursor = field + 4 + length;
    return 1;
}

void fax_file_close(fax_file *file)
{
    if (file == nullptr)
        return;
    delete file->storage;
    delete file;
}

const char *fax_file_attribute(const fax_file *file, const char *name)
{
    if (file == nullptr || name == nullptr)
        return nullptr;
    for (std::size_t i = 0; i < file->attribute_count; ++i)
        if (std::strcmp(file->attributes[i].name, name) == 0)
            return file->attributes[i].value;
    return nullptr;
}
