// File and path utilities: access tests, lookup of the system's files and
// programs, absolute and normalised paths, copy and move of regular files,
// unique file names. Failures are reported through trace_printf; truth
// values and results are 1 for success/true and 0 for failure/false unless
// noted. Texts returned as "new" are malloc'ed; the caller free()s them.
#pragma once

#include <sys/types.h>

#include <climits>
#include <cstddef>

// Spelled as <sys/param.h> spells it, so either may come first.
#ifndef MAXPATHLEN
#define MAXPATHLEN PATH_MAX
#endif
static_assert(MAXPATHLEN == 4096, "path texts are limited to 4096 characters");

// File-type masks for check_access.
constexpr unsigned FILE_TYPE_REGULAR = 0x8000;
constexpr unsigned FILE_TYPE_DIRECTORY = 0x4000;

// --- access tests -------------------------------------------------------

// True if path exists (links followed), is of the given file type and grants
// the effective user every permission in perms ("r", "w", "x" in any order;
// null or "" asks for none). The superuser passes every permission test.
int check_access(const char *path, unsigned type_mask, const char *perms);
int check_file_access(const char *path, const char *perms);
int check_dir_access(const char *path, const char *perms);
int is_readable_file(const char *path);
int is_executable_file(const char *path);

// --- lookup ---------------------------------------------------------------

// New absolute path of a readable regular file found under $TAVRINHOME or
// in the working directory; null if neither has it.
char *find_home_file(const char *name);
// As find_home_file for a readable executable, then along $PATH.
char *find_executable(const char *name);

// --- path texts -----------------------------------------------------------

// New absolute form of path, joined to the working directory; null on
// failure or when the result would exceed MAXPATHLEN.
char *fix_path(const char *path);
int is_absolute_path(const char *path);
int is_relative_path(const char *path);
// False (with a message) for a path over MAXPATHLEN or one holding white
// space or control characters once surrounding blanks and quotes are
// stripped; an empty path is valid.
int is_valid_path(const char *path);
// New normalised absolute path: "." and empty components dropped, ".."
// resolved textually. Null for an invalid path or one climbing above "/".
char *mkpath(const char *path);
// Last component of path (a single trailing '/' is cut in place); "." for a
// null or empty path. Named apart from libc's basename/dirname, whose
// declarations would otherwise capture these.
char *ox_basename(char *path);
// Directory part of path, cut in place; "." when there is none.
char *ox_dirname(char *path);

// --- file operations --------------------------------------------------------

// Copies the regular file from onto to (into it, under from's name, when to
// is a directory). 1 when the whole file has reached the disk, else 0; on
// failure the source is untouched and a target this call wrote is removed.
// A link at the target's name is refused, never written through.
int copy(const char *from, const char *to);
// Renames from to to, copying and deleting across file systems or into a
// directory. The copy goes into a temporary file beside the destination and
// is renamed over it once complete, so the result has from's mode. Non-zero
// on success; on failure the source and any old destination stay as they were.
int ox_move(const char *from, const char *to);
// ftruncate with a traced failure; 0 or -1.
int ox_ftruncate(int fd, off_t length);

// Replaces the name part of path (path_size bytes of room) with
// "<mon><dd><letters><extension>" (extension ".fax" when null), naming a
// file that does not exist yet; the counter behind the letters persists in
// tmp_dir()/i_d_order, locked while it is read and rewritten in place (only
// a regular file is used there). Returns path, or null (path unchanged) when the
// result would not fit in path_size bytes or MAXPATHLEN.
char *make_unique_name(char *path, std::size_t path_size, const char *extension);
// Counter value as base-26 letters 'a'..'z', at least three ("aaa" for 0,
// also for negative values). Process-wide buffer, overwritten by each call.
const char *order_letters(int counter);
// $TAVRINTMP, or "/tmp" when it is unset or too long. Process-wide buffer.
const char *tmp_dir(void);
// Copies name to out (room for strlen(name) + 1) keeping [-.0-9A-PR-Z_a-z],
// dropping bytes from 128 up and turning others into '_'. Returns out.
char *safe_file_name(const char *name, char *out);
