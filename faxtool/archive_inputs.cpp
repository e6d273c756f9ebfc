// Listing the inputs of a run over many files.
#include "faxtool/archive_inputs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "faxfile/fax_header.h"
#include "faxtool/output_file.h"
#include "util/fdio.h"

namespace {

struct directory_entry {
    std::string name;
    unsigned char type;
};

// The entries of one directory, read whole so that only one descriptor is
// open however deep the tree goes.
bool read_directory(const std::string &path, std::vector<directory_entry> &entries, int &error)
{
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    DIR *dir = fd >= 0 ? fdopendir(fd) : nullptr;
    if (dir == nullptr) {
        error = errno;
        if (fd >= 0)
            close(fd);
        return false;
    }
    errno = 0;
    while (const dirent *entry = readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            entries.push_back({entry->d_name, entry->d_type});
        errno = 0;
    }
    error = errno;
    closedir(dir);
    return error == 0;
}

std::string joined(const std::string &directory, const std::string &name)
{
    if (directory.empty() || directory.back() == '/')
        return directory + name;
    return directory + "/" + name;
}

void walk(const std::string &root, const std::string &relative, archive_listing &listing)
{
    const std::string here = relative.empty() ? root : joined(root, relative);
    std::vector<directory_entry> entries;
    int error = 0;
    if (!read_directory(here, entries, error)) {
        // What was read is still walked; the directory itself is reported.
        listing.inputs.push_back({here, relative, std::string("cannot read the directory: ") + std::strerror(error)});
    }
    std::vector<std::string> names;
    names.reserve(entries.size());
    for (const directory_entry &entry : entries)
        names.push_back(entry.name);
    std::sort(names.begin(), names.end());
    for (const directory_entry &entry : entries) {
        const std::string inner = relative.empty() ? entry.name : relative + "/" + entry.name;
        const std::string path = joined(root, inner);
        unsigned char type = entry.type;
        if (type == DT_UNKNOWN) {
            struct stat st;
            if (lstat(path.c_str(), &st) != 0)
                continue;  // gone since it was listed
            type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_LNK;
        }
        if (type == DT_DIR) {
            walk(root, inner, listing);
        } else if (type == DT_REG && is_temporary_name(entry.name, names)) {
            if (is_numbered_sibling(entry.name, names) && has_fax_magic(path))
                listing.passed_over.push_back(path);
        } else if (type == DT_REG) {
            if (has_fax_magic(path))
                listing.inputs.push_back({path, inner, ""});
            else
                ++listing.not_fax;
        }
    }
}

std::string base_name(const std::string &path)
{
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/')
        trimmed.pop_back();
    const std::size_t slash = trimmed.rfind('/');
    return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

// A listed path keeps its own relative path, as tar and rsync keep it; one
// that leaves the current directory or starts at the root has its own name.
std::string listed_relative(const std::string &path)
{
    if (path.empty() || path[0] == '/')
        return base_name(path);
    std::string kept;
    std::size_t at = 0;
    while (at <= path.size()) {
        std::size_t slash = path.find('/', at);
        if (slash == std::string::npos)
            slash = path.size();
        const std::string part = path.substr(at, slash - at);
        if (part == "..")
            return base_name(path);
        if (!part.empty() && part != ".")
            kept += (kept.empty() ? "" : "/") + part;
        at = slash + 1;
    }
    return kept.empty() ? base_name(path) : kept;
}

}  // namespace

namespace {

enum class magic { unreadable, other, fax };

magic read_magic(const std::string &path, int extra_flags)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | extra_flags);
    if (fd < 0)
        return magic::unreadable;
    unsigned char prefix[4];
    const ssize_t got = fd_read_fully(fd, prefix, sizeof prefix);
    close(fd);
    if (got < 0)
        return magic::unreadable;
    return got == 4 && load_be32(prefix) == FAX_FILE_MAGIC ? magic::fax : magic::other;
}

}  // namespace

bool has_fax_magic(const std::string &path)
{
    return read_magic(path, O_NOFOLLOW) == magic::fax;
}

bool lacks_fax_magic(const std::string &path)
{
    return read_magic(path, 0) == magic::other;
}

bool is_temporary_name(std::string_view name, const std::vector<std::string> &siblings)
{
    if (is_new_file_name(name))
        return true;
    // Earlier versions' names, left by a killed run.
    constexpr std::size_t SUFFIX = 6;  // mkstemp's XXXXXX
    if (name.size() > SUFFIX + 2 && name[0] == '.' && name[name.size() - SUFFIX - 1] == '.') {
        const std::string_view suffix = name.substr(name.size() - SUFFIX);
        if (std::all_of(suffix.begin(), suffix.end(), [](char c) {
                return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
            }))
            return true;
    }
    return is_numbered_sibling(name, siblings);
}

bool is_numbered_sibling(std::string_view name, const std::vector<std::string> &siblings)
{
    const std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || dot + 1 == name.size())
        return false;
    const std::string_view digits = name.substr(dot + 1);
    if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    return std::binary_search(siblings.begin(), siblings.end(), std::string(name.substr(0, dot)));
}

void list_inputs(const std::vector<std::string> &operands, bool listed, archive_listing &listing)
{
    for (const std::string &operand : operands) {
        struct stat st;
        // A directory named is walked even through a link to it; inside, no
        // link is followed.
        if (stat(operand.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            walk(operand, "", listing);
        else
            listing.inputs.push_back({operand, listed ? listed_relative(operand) : base_name(operand), ""});
    }
    // A file named twice is handled twice, as it was asked for.
    std::stable_sort(listing.inputs.begin(), listing.inputs.end(),
                     [](const archive_input &a, const archive_input &b) { return a.path < b.path; });
}

bool read_path_list(const std::string &list, bool nul_separated, std::vector<std::string> &paths,
                    std::string &reason)
{
    const bool standard_input = list == "-";
    const int fd = standard_input ? 0 : open(list.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        reason = std::strerror(errno);
        return false;
    }
    const char separator = nul_separated ? '\0' : '\n';
    std::string pending;
    char buffer[65536];
    ssize_t got;
    bool ok = true;
    while ((got = fd_read_fully(fd, buffer, sizeof buffer)) > 0) {
        for (ssize_t i = 0; i < got; ++i) {
            if (buffer[i] != separator) {
                pending += buffer[i];
                continue;
            }
            if (!nul_separated && !pending.empty() && pending.back() == '\r')
                pending.pop_back();
            if (!pending.empty())
                paths.push_back(pending);
            pending.clear();
        }
        if (static_cast<std::size_t>(got) < sizeof buffer)
            break;
    }
    if (got < 0) {
        reason = std::strerror(errno);
        ok = false;
    }
    if (!pending.empty())
        paths.push_back(pending);
    if (!standard_input)
        close(fd);
    return ok;
}

uint64_t shard_hash(std::string_view relative)
{
    uint64_t hash = 0xcbf29ce484222325u;  // FNV-1a offset basis
    for (char c : relative) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 0x100000001b3u;  // FNV prime
    }
    return hash;
}

bool parse_shard(const char *text, uint64_t &shard, uint64_t &shards)
{
    const char *slash = std::strchr(text, '/');
    if (slash == nullptr)
        return false;
    auto number = [](std::string_view digits, uint64_t &value) {
        if (digits.empty() || digits.size() > 9 ||
            digits.find_first_not_of("0123456789") != std::string_view::npos)
            return false;
        value = std::stoull(std::string(digits));
        return true;
    };
    return number(std::string_view(text, static_cast<std::size_t>(slash - text)), shard) &&
           number(slash + 1, shards) && shards > 0 && shard < shards;
}

void keep_shard(archive_listing &listing, uint64_t shard, uint64_t shards)
{
    std::erase_if(listing.inputs, [&](const archive_input &input) {
        return shard_hash(input.relative) % shards != shard;
    });
}
