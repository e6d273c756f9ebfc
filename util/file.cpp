// File and path utilities: access tests, lookup of the system's files and
// programs, path texts, copy and move of regular files, unique file names.
#include "util/file.h"

#include "trace/trace.h"
#include "util/fdio.h"
#include "util/getcwd.h"
#include "util/strlib.h"
#include "util/whitespace.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

[[maybe_unused]] static const char what_string[] = "@(#)|file|9|01|2|0|0|07/26/99|14:47:50";

namespace {

// Texts handed out by order_letters and tmp_dir; each call overwrites its own.
struct file_state_record {
    char order_letters[16];  // an int in base 26 needs at most 7 letters
    char tmp_dir[MAXPATHLEN];
};
file_state_record file_state;

constexpr std::size_t COPY_UNIT = 8192;
constexpr int COUNTER_LIMIT = 17573;  // counter values from here on restart at 0
constexpr const char COUNTER_FILE[] = "i_d_order";

const char *shown(const char *text)
{
    return text ? text : "(null)";
}

// Formats into out (MAXPATHLEN bytes); false when the text would not fit.
bool join_path(char *out, std::string_view dir, std::string_view name)
{
    std::size_t length = dir.size() + 1 + name.size();
    if (length >= MAXPATHLEN)
        return false;
    std::memcpy(out, dir.data(), dir.size());
    out[dir.size()] = '/';
    std::memcpy(out + dir.size() + 1, name.data(), name.size());
    out[length] = '\0';
    return true;
}

// --- access ----------------------------------------------------------------

struct permission_bits {
    mode_t owner = 0, group = 0, other = 0;
};

permission_bits collect_permission_bits(const char *perms)
{
    permission_bits bits;
    for (const char *p = perms; *p != '\0'; ++p) {
        switch (*p) {
        case 'r': bits.owner |= 0400; bits.group |= 040; bits.other |= 04; break;
        case 'w': bits.owner |= 0200; bits.group |= 020; bits.other |= 02; break;
        case 'x': bits.owner |= 0100; bits.group |= 010; bits.other |= 01; break;
        default: trace_printf("check_access: Invalid permission: [%c]\n", *p); break;
        }
    }
    return bits;
}

// The kernel judges a file of a supplementary group by its group bits too.
bool in_effective_groups(gid_t gid)
{
    if (gid == getegid())
        return true;
    int count = getgroups(0, nullptr);
    if (count <= 0)
        return false;
    auto *groups = static_cast<gid_t *>(std::malloc(sizeof(gid_t) * static_cast<std::size_t>(count)));
    if (!groups)
        return false;
    count = getgroups(count, groups);
    bool found = false;
    for (int i = 0; i < count && !found; ++i)
        found = groups[i] == gid;
    std::free(groups);
    return found;
}

// The whole file-type field must match: a socket or a block device carries
// the regular-file or directory bit among its type bits without being one.
bool has_file_type(mode_t mode, unsigned type_mask)
{
    unsigned type = type_mask & S_IFMT;
    return type == 0 || (mode & S_IFMT) == type;
}

// --- lookup ----------------------------------------------------------------

using file_test = int (*)(const char *);

// fix_path of dir/name when it passes the test; null otherwise.
char *try_candidate(const char *dir, const char *name, file_test test, const char *caller)
{
    char candidate[MAXPATHLEN];
    if (!join_path(candidate, dir, name)) {
        trace_printf("%s: path too large: [%s/%s]\n", caller, dir, name);
        return nullptr;
    }
    return test(candidate) ? fix_path(candidate) : nullptr;
}

char *find_in_home_or_cwd(const char *name, file_test test, const char *caller)
{
    if (!name)
        return nullptr;
    if (const char *home = std::getenv("TAVRINHOME"))
        if (char *found = try_candidate(home, name, test, caller))
            return found;
    return try_candidate(".", name, test, caller);
}

char *find_along_path(const char *name)
{
    const char *path_value = std::getenv("PATH");
    if (!path_value)
        return nullptr;
    char *entries = strdup(path_value);
    if (!entries)
        return nullptr;
    char *found = nullptr;
    for (char *entry = entries; entry && !found;) {
        char *colon = std::strchr(entry, ':');
        if (colon)
            *colon = '\0';
        if (*entry != '\0')
            found = try_candidate(entry, name, is_executable_file, "find_executable");
        entry = colon ? colon + 1 : nullptr;
    }
    std::free(entries);
    return found;
}

// --- mkpath ----------------------------------------------------------------

// Working directory, '/', path into work (MAXPATHLEN bytes); path alone when absolute.
bool absolute_text(const char *path, char *work)
{
    if (is_absolute_path(path)) {
        if (std::strlen(path) >= MAXPATHLEN) {
            trace_printf("mkpath: path too large\n");
            return false;
        }
        std::strcpy(work, path);
        return true;
    }
    char cwd[MAXPATHLEN + 1];
    if (!ox_getcwd(cwd, sizeof cwd)) {
        trace_printf("mkpath: ox_getcwd: %s.\n", std::strerror(errno));
        return false;
    }
    if (!join_path(work, cwd, path)) {
        trace_printf("mkpath: path too large\n");
        return false;
    }
    return true;
}

// Resolves the fields onto a stack of kept components; -1 when ".." climbs above "/".
int keep_components(char **fields, int count, const char **kept)
{
    int depth = 0;
    for (int i = 0; i < count; ++i) {
        std::string_view field = fields[i];
        if (field.empty() || field == ".")
            continue;
        if (field == "..") {
            if (depth == 0)
                return -1;
            --depth;
            continue;
        }
        kept[depth++] = fields[i];
    }
    return depth;
}

// kept components, each after one '/', into out (as long as the text they came from).
void join_components(const char **kept, int depth, char *out)
{
    std::size_t length = 0;
    for (int i = 0; i < depth; ++i) {
        out[length++] = '/';
        std::size_t size = std::strlen(kept[i]);
        std::memcpy(out + length, kept[i], size);
        length += size;
    }
    if (length == 0)
        out[length++] = '/';
    out[length] = '\0';
}

// --- copy ------------------------------------------------------------------

// Traces "copy: call("path") failed: error." keeping errno for ox_move's message.
bool copy_failed(const char *call, const char *path)
{
    int error = errno;
    trace_printf("copy: %s(\"%s\") failed: %s.\n", call, path, std::strerror(error));
    errno = error;
    return false;
}

// Closes a descriptor on every way out unless released.
struct fd_owner {
    int fd = -1;
    ~fd_owner()
    {
        if (fd >= 0)
            close(fd);
    }
};

// Name part of a source: after the last '/', else after the last backslash.
const char *source_name(const char *from)
{
    const char *slash = std::strrchr(from, '/');
    if (!slash)
        slash = std::strrchr(from, '\\');
    return slash ? slash + 1 : from;
}

// The file copy writes: to itself, or to/<source name> when to is a directory.
bool copy_target(const char *from, const char *to, char *target, bool *existed)
{
    struct stat status;
    *existed = false;
    if (stat(to, &status) == 0 && S_ISDIR(status.st_mode)) {
        const char *name = source_name(from);
        if (!join_path(target, to, name)) {
            trace_printf("copy: \"%s/%s\": path too large.\n", to, name);
            errno = ENAMETOOLONG;
            return false;
        }
        *existed = stat(target, &status) == 0;
        return true;
    }
    if (std::strlen(to) >= MAXPATHLEN) {
        trace_printf("copy: \"%s\": path too large.\n", to);
        errno = ENAMETOOLONG;
        return false;
    }
    std::strcpy(target, to);
    return true;
}

// Opening the source for writing would truncate it before a byte is read.
bool is_same_file(const struct stat &source, const char *target)
{
    struct stat status;
    return stat(target, &status) == 0 && status.st_dev == source.st_dev &&
           status.st_ino == source.st_ino;
}

// Copies every byte of in to out; traces and returns false on a failure.
bool copy_bytes(int in, int out, const char *from, const char *target)
{
    char buffer[COPY_UNIT];
    for (;;) {
        ssize_t count = read(in, buffer, sizeof buffer);
        if (count == 0)
            return true;
        if (count < 0) {
            if (errno == EINTR)
                continue;
            return copy_failed("read", from);
        }
        if (!fd_write_fully(out, buffer, static_cast<std::size_t>(count)))
            return copy_failed("write", target);
    }
}

// The data must be on the disk before ox_move may delete the source; a
// delayed write error shows only in fsync or close.
bool finish_target(int out, const char *target)
{
    struct stat status;
    if (fstat(out, &status) == 0 && S_ISREG(status.st_mode) && fsync(out) != 0 && errno != EINVAL) {
        copy_failed("fsync", target);
        int error = errno;
        close(out);
        errno = error;
        return false;
    }
    return close(out) == 0 || copy_failed("close", target);
}

// Removes a half-written target, but never a device, FIFO or the like that
// merely received the data.
void discard_target(const char *target, bool regular)
{
    int error = errno;
    if (regular && unlink(target) != 0)
        trace_printf("copy: unlink(\"%s\") failed: %s.\n", target, std::strerror(errno));
    errno = error;
}

// Opens the source and checks it is a regular file other than the target.
int open_source(const char *from, const char *target, struct stat *status)
{
    fd_owner in{open(from, O_RDONLY | O_CLOEXEC)};
    if (in.fd < 0) {
        copy_failed("open", from);
        return -1;
    }
    if (fstat(in.fd, status) != 0) {
        copy_failed("stat", from);
        return -1;
    }
    if (!S_ISREG(status->st_mode)) {
        trace_printf("copy: \"%s\" isn't a regular file.\n", from);
        errno = EINVAL;
        return -1;
    }
    if (is_same_file(*status, target)) {
        trace_printf("copy: \"%s\" and \"%s\" are the same file.\n", from, target);
        errno = EINVAL;
        return -1;
    }
    int fd = in.fd;
    in.fd = -1;
    return fd;
}

// Writes the open source into target; false (target discarded) on a failure.
bool fill_target(int in, const struct stat &source, const char *from, const char *target,
                 bool existed)
{
    mode_t mode = source.st_mode & 07777;
    // O_NOFOLLOW: a link planted at the target's name in a shared directory
    // would otherwise have its own target overwritten and its mode changed.
    int out = open(target, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, mode);
    if (out < 0)
        return copy_failed("open", target);
    struct stat status;
    bool regular = fstat(out, &status) == 0 && S_ISREG(status.st_mode);
    bool ok = true;
    if (existed && fchmod(out, mode) != 0)
        ok = copy_failed("fchmod", target);
    ok = ok && copy_bytes(in, out, from, target);
    if (!ok) {
        int error = errno;
        close(out);
        errno = error;
    } else {
        ok = finish_target(out, target);
    }
    if (!ok)
        discard_target(target, regular);
    return ok;
}

// Creates a fresh file "<target's directory>/.ox_move.XXXXXX" (name into temp,
// MAXPATHLEN bytes); -1 (traced) when it can't be made.
int create_temp_beside(const char *target, char *temp)
{
    static constexpr std::string_view TEMP_NAME = ".ox_move.XXXXXX";
    const char *slash = std::strrchr(target, '/');
    std::string_view directory = slash ? std::string_view(target, static_cast<std::size_t>(slash - target) + 1)
                                       : std::string_view();
    if (directory.size() + TEMP_NAME.size() >= MAXPATHLEN) {
        trace_printf("copy: \"%s\": path too large.\n", target);
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(temp, directory.data(), directory.size());
    std::memcpy(temp + directory.size(), TEMP_NAME.data(), TEMP_NAME.size());
    temp[directory.size() + TEMP_NAME.size()] = '\0';
    // mkostemp creates with O_EXCL, so it never opens a link or another's file.
    int fd = mkostemp(temp, O_CLOEXEC);
    if (fd < 0)
        copy_failed("open", temp);
    return fd;
}

// ox_move's copy: the whole source goes into a fresh file beside the target,
// which replaces the target by a rename only once it is complete on the disk,
// so that a failure at any step leaves the old target as it was. The result
// has the source's mode, as a rename would give it.
bool copy_into_place(const char *from, const char *to)
{
    char target[MAXPATHLEN];
    bool existed = false;
    if (!copy_target(from, to, target, &existed))
        return false;
    struct stat source;
    fd_owner in{open_source(from, target, &source)};
    if (in.fd < 0)
        return false;
    char temp[MAXPATHLEN];
    int out = create_temp_beside(target, temp);
    if (out < 0)
        return false;
    bool ok = fchmod(out, source.st_mode & 07777) == 0 || copy_failed("fchmod", temp);
    ok = ok && copy_bytes(in.fd, out, from, temp);
    if (!ok) {
        int error = errno;
        close(out);
        errno = error;
    } else {
        ok = finish_target(out, temp);
    }
    if (ok && rename(temp, target) != 0) {
        int error = errno;
        trace_printf("copy: rename(\"%s\",\"%s\") failed: %s.\n", temp, target, std::strerror(error));
        errno = error;
        ok = false;
    }
    if (!ok) {
        discard_target(temp, true);
        return false;
    }
    fd_sync_directory_of(target);
    return true;
}

// --- unique names ------------------------------------------------------------

// "dec07": month in lower case, day of the month in two digits.
void date_prefix(char out[8])
{
    static constexpr const char *MONTHS[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                             "jul", "aug", "sep", "oct", "nov", "dec"};
    std::time_t now = std::time(nullptr);
    struct tm local {};
    if (!localtime_r(&now, &local))
        local.tm_mday = 1;
    std::snprintf(out, 8, "%s%02d", MONTHS[local.tm_mon % 12], local.tm_mday % 100);
}

// Opens the counter file, making it when it is missing; -1 (traced) when
// there is none to use. O_NOFOLLOW: it sits in a shared directory such as
// /tmp; O_NONBLOCK: a FIFO planted there must not hang the open.
int open_counter(const char *counter_path)
{
    constexpr int FLAGS = O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    int fd = open(counter_path, FLAGS);
    if (fd < 0 && errno == ENOENT) {
        fd = open(counter_path, FLAGS | O_CREAT | O_EXCL, 0666);
        if (fd < 0 && errno == EEXIST) {  // made by another process meanwhile
            fd = open(counter_path, FLAGS);
        } else if (fd < 0) {
            trace_printf("open(\"%s\") failed: %s.\n", counter_path, std::strerror(errno));
            return -1;
        }
    }
    if (fd < 0) {
        trace_printf("open(\"%s\") failed: %s. Setting extension back to 0.\n", counter_path,
                     std::strerror(errno));
        return -1;
    }
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        trace_printf("make_unique_name: \"%s\" isn't a regular file. Setting extension back to 0.\n",
                     counter_path);
        close(fd);
        return -1;
    }
    return fd;
}

// Holds the counter file for one read, increment and rewrite, so that
// concurrent callers never take the same value. The wait is bounded: anyone
// may lock a file in a shared directory, and holding it must not hang us.
void lock_counter(int fd, const char *counter_path)
{
    constexpr int WAIT_LIMIT_MS = 5000;
    for (int waited = 0; flock(fd, LOCK_EX | LOCK_NB) != 0; ++waited) {
        if ((errno != EWOULDBLOCK && errno != EINTR) || waited >= WAIT_LIMIT_MS) {
            trace_printf("make_unique_name: flock(\"%s\") failed: %s.\n", counter_path, std::strerror(errno));
            return;
        }
        const timespec one_ms{0, 1000000};
        nanosleep(&one_ms, nullptr);
    }
}

// The stored counter; 0 for none, no digits, or a value out of range.
int read_counter(int fd)
{
    char line[10];
    ssize_t count = fd >= 0 ? pread(fd, line, 9, 0) : -1;
    line[count > 0 ? count : 0] = '\0';
    long value = std::strtol(line, nullptr, 10);
    return value < 0 || value >= COUNTER_LIMIT ? 0 : static_cast<int>(value);
}

// Rewrites the file in place, never deleting it: a counter file that we may
// write but not delete (another's 0666 file in a sticky directory) must still
// advance. Closing it releases the lock.
void save_counter(int fd, int counter, const char *counter_path)
{
    if (fd < 0)
        return;
    char line[16];
    int length = std::snprintf(line, sizeof line, "%d\n", counter);
    if (pwrite(fd, line, static_cast<std::size_t>(length), 0) != length || ftruncate(fd, length) != 0)
        trace_printf("make_unique_name: write(\"%s\") failed: %s.\n", counter_path, std::strerror(errno));
    close(fd);
}

// Length of the directory part: up to the last '/' or backslash, whichever is further right.
std::size_t directory_length(const char *path)
{
    const char *slash = std::strrchr(path, '/');
    const char *backslash = std::strrchr(path, '\\');
    const char *last = !slash || (backslash && backslash > slash) ? backslash : slash;
    return last ? static_cast<std::size_t>(last - path) + 1 : 0;
}

// First name of the series that doesn't exist yet, into name (MAXPATHLEN + 1
// bytes); advances *counter past it. False when a name would not fit in limit.
bool first_free_name(std::string_view directory, const char *date, const char *extension,
                     int *counter, char *name, std::size_t limit)
{
    struct stat status;
    for (;;) {
        int length = std::snprintf(name, MAXPATHLEN + 1, "%.*s%s%s%s",
                                   static_cast<int>(directory.size()), directory.data(), date,
                                   order_letters(*counter), extension);
        if (length < 0 || static_cast<std::size_t>(length) >= limit)
            return false;
        ++*counter;
        if (stat(name, &status) != 0)
            return true;
    }
}

}  // namespace

// --- access tests ------------------------------------------------------------

int check_access(const char *path, unsigned type_mask, const char *perms)
{
    if (!path)
        return 0;
    uid_t euid = geteuid();
    struct stat status;
    if (stat(path, &status) != 0) {
        if (errno != ENOENT && euid == 0)
            trace_printf("check_access: stat(\"%s\"): %s\n", path, std::strerror(errno));
        return 0;
    }
    if (!has_file_type(status.st_mode, type_mask))
        return 0;
    if (euid == 0 || !perms || *perms == '\0')
        return 1;
    permission_bits bits = collect_permission_bits(perms);
    mode_t wanted = bits.other;
    if (status.st_uid == euid)
        wanted = bits.owner;
    else if (in_effective_groups(status.st_gid))
        wanted = bits.group;
    return (status.st_mode & wanted) == wanted ? 1 : 0;
}

int check_file_access(const char *path, const char *perms)
{
    return check_access(path, FILE_TYPE_REGULAR, perms);
}

int check_dir_access(const char *path, const char *perms)
{
    return check_access(path, FILE_TYPE_DIRECTORY, perms);
}

int is_readable_file(const char *path)
{
    return check_file_access(path, "r");
}

int is_executable_file(const char *path)
{
    return check_file_access(path, "rx");
}

// --- lookup ------------------------------------------------------------------

char *find_home_file(const char *name)
{
    return find_in_home_or_cwd(name, is_readable_file, "find_home_file");
}

char *find_executable(const char *name)
{
    if (char *found = find_in_home_or_cwd(name, is_executable_file, "find_executable"))
        return found;
    return name ? find_along_path(name) : nullptr;
}

// --- path texts --------------------------------------------------------------

char *fix_path(const char *path)
{
    if (!path) {
        errno = EINVAL;
        return nullptr;
    }
    // Only "./" is dropped: "../" must stay, or the result names a file in
    // the working directory instead of its parent.
    const char *rest = std::strncmp(path, "./", 2) == 0 ? path + 2 : path;
    if (*rest == '/') {
        char *copy = strdup(rest);
        if (!copy)
            trace_printf("fix_path: strdup(\"%s\"): %s\n", rest, std::strerror(errno));
        return copy;
    }
    char cwd[MAXPATHLEN + 1];
    if (!ox_getcwd(cwd, sizeof cwd)) {
        trace_printf("fix_path: ox_getcwd: %s\n", std::strerror(errno));
        return nullptr;
    }
    std::size_t cwd_length = std::strlen(cwd);
    std::size_t rest_length = std::strlen(rest);
    if (cwd_length + rest_length + 1 > MAXPATHLEN) {
        trace_printf("fix_path: path too large\n");
        errno = ENAMETOOLONG;
        return nullptr;
    }
    auto *joined = static_cast<char *>(std::malloc(cwd_length + rest_length + 2));
    if (!joined) {
        trace_printf("fix_path: strdup(\"%s\"): %s\n", rest, std::strerror(errno));
        return nullptr;
    }
    std::memcpy(joined, cwd, cwd_length);
    joined[cwd_length] = '/';
    std::memcpy(joined + cwd_length + 1, rest, rest_length + 1);
    return joined;
}

int is_absolute_path(const char *path)
{
    return path && path[0] == '/' ? 1 : 0;
}

int is_relative_path(const char *path)
{
    return is_absolute_path(path) ? 0 : 1;
}

int is_valid_path(const char *path)
{
    if (!path)
        return 0;
    std::size_t length = std::strlen(path);
    if (length > MAXPATHLEN) {
        trace_printf("%s: Invalid path (exceeds MAXPATHLEN of %d bytes): [%s].\n",
                     "is_valid_path", MAXPATHLEN, path);
        return 0;
    }
    char copy[MAXPATHLEN + 1];
    std::memcpy(copy, path, length + 1);
    for (const char *p = strip_white_and_quotes(copy); *p != '\0'; ++p) {
        auto c = static_cast<unsigned char>(*p);
        if (std::isspace(c) || c < 32 || c == 127) {
            trace_printf("%s: Invalid path: [%s].\n", "is_valid_path", path);
            return 0;
        }
    }
    return 1;
}

char *mkpath(const char *path)
{
    if (!is_valid_path(path)) {
        trace_printf("%s: Invalid path: [%s].\n", "mkpath", shown(path));
        return nullptr;
    }
    char work[MAXPATHLEN];
    if (!absolute_text(path, work))
        return nullptr;
    char **fields = nullptr;
    int count = split_fields(work, '/', &fields);
    auto **kept = count > 0 ? static_cast<const char **>(std::malloc(sizeof(char *) * static_cast<std::size_t>(count)))
                            : nullptr;
    if (!kept) {
        // An unnormalised text is no answer: callers rely on "." and ".." being gone.
        trace_printf("mkpath: malloc: %s.\n", std::strerror(errno));
        std::free(fields);
        return nullptr;
    }
    int depth = keep_components(fields, count, kept);
    char result[MAXPATHLEN];
    if (depth >= 0)
        join_components(kept, depth, result);
    std::free(kept);
    std::free(fields);
    if (depth < 0) {
        trace_printf("mkpath: Invalid path: [%s].\n", work);
        return nullptr;
    }
    char *copy = strdup(result);
    if (!copy)
        trace_printf("mkpath: strdup: %s.\n", std::strerror(errno));
    return copy;
}

char *ox_basename(char *path)
{
    if (!path || *path == '\0')
        return const_cast<char *>(".");  // read-only, as libc's versions may return
    if (path[0] == '/') {
        if (path[1] == '\0')
            return path;
        ++path;
    }
    std::size_t length = std::strlen(path);
    if (length > 1 && path[length - 1] == '/')
        path[length - 1] = '\0';
    char *name = path;
    for (char *p = path; *p != '\0'; ++p)
        if (*p == '/' && p[1] != '\0')
            name = p + 1;
    return name;
}

char *ox_dirname(char *path)
{
    if (!path || *path == '\0')
        return const_cast<char *>(".");
    std::size_t i = std::strlen(path) - 1;
    while (i > 0 && path[i] == '/')
        --i;
    while (i > 0 && path[i] != '/')
        --i;
    if (i > 0) {
        path[i] = '\0';
        return path;
    }
    if (path[0] == '/') {
        path[1] = '\0';
        return path;
    }
    return const_cast<char *>(".");
}

// --- file operations -----------------------------------------------------------

int copy(const char *from, const char *to)
{
    if (!from || !to) {
        errno = EINVAL;
        return 0;
    }
    char target[MAXPATHLEN];
    bool existed = false;
    if (!copy_target(from, to, target, &existed))
        return 0;
    struct stat source;
    fd_owner in{open_source(from, target, &source)};
    if (in.fd < 0)
        return 0;
    return fill_target(in.fd, source, from, target, existed) ? 1 : 0;
}

int ox_move(const char *from, const char *to)
{
    if (!from || !to) {
        errno = EINVAL;
        return 0;
    }
    struct stat status;
    if (stat(from, &status) != 0) {
        trace_printf("ox_move: stat(\"%s\") failed: %s.\n", from, std::strerror(errno));
        return 0;
    }
    // The whole type field: a socket has the regular-file bit among its type
    // bits, but no copy of it can be made should the rename fail.
    if (!S_ISREG(status.st_mode)) {
        trace_printf("ox_move: \"%s\" isn't a regular file.\n", from);
        return 0;
    }
    if (rename(from, to) == 0)
        return 1;
    if (errno != EISDIR && errno != EXDEV && errno != EMLINK) {
        trace_printf("ox_move: rename(\"%s\",\"%s\") failed: %s.\n", from, to, std::strerror(errno));
        return 0;
    }
    // The source goes only once its copy has replaced the destination.
    if (!copy_into_place(from, to)) {
        trace_printf("ox_move: copy(\"%s\",\"%s\") failed: %s.\n", from, to, std::strerror(errno));
        return 0;
    }
    if (unlink(from) != 0) {
        trace_printf("ox_move: unlink(\"%s\") failed: %s.\n", from, std::strerror(errno));
        return 0;
    }
    return 1;
}

int ox_ftruncate(int fd, off_t length)
{
    if (ftruncate(fd, length) == 0)
        return 0;
    trace_printf("ox_ftruncate:  ftruncate(%lld), errno=%d\n", static_cast<long long>(length), errno);
    return -1;
}

char *make_unique_name(char *path, std::size_t path_size, const char *extension)
{
    if (!path)
        return nullptr;
    std::size_t limit = path_size < MAXPATHLEN + 1 ? path_size : MAXPATHLEN + 1;
    char date[8];
    date_prefix(date);
    char counter_path[MAXPATHLEN];
    bool have_counter_path = join_path(counter_path, tmp_dir(), COUNTER_FILE);
    if (!have_counter_path)
        trace_printf("make_unique_name: \"%s/%s\": path too large.\n", tmp_dir(), COUNTER_FILE);
    int counter_fd = have_counter_path ? open_counter(counter_path) : -1;
    if (counter_fd >= 0)
        lock_counter(counter_fd, counter_path);
    int counter = read_counter(counter_fd);

    int first = counter;
    char name[MAXPATHLEN + 1];
    std::string_view directory(path, directory_length(path));
    if (!first_free_name(directory, date, extension ? extension : ".fax", &counter, name, limit)) {
        trace_printf("make_unique_name: \"%s\": name too large for its buffer.\n", path);
        save_counter(counter_fd, first, counter_path);
        return nullptr;
    }
    save_counter(counter_fd, counter, counter_path);
    std::memcpy(path, name, std::strlen(name) + 1);
    return path;
}

const char *order_letters(int counter)
{
    char reversed[sizeof file_state.order_letters];
    std::size_t count = 0;
    unsigned value = counter < 0 ? 0 : static_cast<unsigned>(counter);
    do {
        reversed[count++] = static_cast<char>('a' + value % 26);
        value /= 26;
    } while (value != 0);
    while (count < 3)
        reversed[count++] = 'a';
    for (std::size_t i = 0; i < count; ++i)
        file_state.order_letters[i] = reversed[count - 1 - i];
    file_state.order_letters[count] = '\0';
    return file_state.order_letters;
}

const char *tmp_dir(void)
{
    const char *value = std::getenv("TAVRINTMP");
    // An empty value would put the counter file in "/".
    if (!value || *value == '\0' || std::strlen(value) >= sizeof file_state.tmp_dir)
        value = "/tmp";
    std::strcpy(file_state.tmp_dir, value);
    return file_state.tmp_dir;
}

char *safe_file_name(const char *name, char *out)
{
    if (!out)
        return nullptr;
    char *next = out;
    for (const char *p = name ? name : ""; *p != '\0'; ++p) {
        auto c = static_cast<unsigned char>(*p);
        if (c >= 128)
            continue;
        bool safe = c == '-' || c == '.' || c == '_' || std::isdigit(c) || std::islower(c) ||
                    (std::isupper(c) && c != 'Q');
        *next++ = safe ? static_cast<char>(c) : '_';
    }
    *next = '\0';
    return out;
}
