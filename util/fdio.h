// Descriptor transfers that survive interrupted and partial reads and
// writes, and the fixed byte orders of the file formats.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

// Reads until count bytes, the end of the file or an error: the count read
// (short only at the end of the file), or -1 on an error (errno tells).
ssize_t fd_read_fully(int fd, void *buffer, std::size_t count);

// Writes all count bytes: true, or false with errno set (ENOSPC when the
// descriptor took nothing).
bool fd_write_fully(int fd, const void *buffer, std::size_t count);

// Bytes between the offset and the end of a regular file; -1 when the
// descriptor has no known size (a pipe, a device) or cannot be asked.
int64_t fd_bytes_left(int fd);

// Syncs the directory that holds `path`: a rename or a new name there is
// durable only once the directory is on the disk. False with errno set when
// it cannot be opened or synced (a file system without fsync for
// directories counts as synced).
bool fd_sync_directory_of(const char *path);

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that
// the first file a program opens cannot become its standard output or error
// and receive its messages. False when one stays closed.
bool fd_open_standard_descriptors();

inline uint32_t load_be32(const unsigned char *p)
{
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

inline void store_be32(unsigned char *p, uint32_t value)
{
    p[0] = static_cast<unsigned char>(value >> 24);
    p[1] = static_cast<unsigned char>(value >> 16);
    p[2] = static_cast<unsigned char>(value >> 8);
    p[3] = static_cast<unsigned char>(value);
}

inline uint32_t load_le32(const unsigned char *p)
{
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

inline void store_le32(unsigned char *p, uint32_t value)
{
    p[0] = static_cast<unsigned char>(value);
    p[1] = static_cast<unsigned char>(value >> 8);
    p[2] = static_cast<unsigned char>(value >> 16);
    p[3] = static_cast<unsigned char>(value >> 24);
}
