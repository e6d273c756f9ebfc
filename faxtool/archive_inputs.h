// The inputs of a run over many files: named files, directory trees walked
// without following symbolic links, lists read from a file, in byte order of
// their paths, and the share of them one of N shards takes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct archive_input {
    std::string path;      // as it is opened
    std::string relative;  // to the directory it was found under; a named file's own name
    std::string problem;   // why it cannot be taken (not a fax file, unreadable directory)
};

struct archive_listing {
    std::vector<archive_input> inputs;  // in byte order of path
    int not_fax = 0;                    // files in the trees that are no fax files
    // Fax files in the trees named NAME.<digits> beside a NAME, as an earlier
    // version's temporaries were: passed over, but told of, as they may
    // just as well be an archive's own numbered files.
    std::vector<std::string> passed_over;
};

// Walks each operand: a directory recursively, anything else as a named file
// (which must be a fax file). `listed` says the operands came from a list,
// whose relative paths stay as they are written there.
void list_inputs(const std::vector<std::string> &operands, bool listed, archive_listing &listing);

// Paths one a line (or NUL-separated) from LIST, "-" for standard input.
// False with a reason when the list cannot be read.
bool read_path_list(const std::string &list, bool nul_separated, std::vector<std::string> &paths,
                    std::string &reason);

// True when the file at path begins with the fax magic.
bool has_fax_magic(const std::string &path);
// True when the file reads and does not begin with it: a file that cannot be
// read is no answer either way.
bool lacks_fax_magic(const std::string &path);

// The shard hash: FNV-1a, 64 bits, over the bytes of the relative path.
uint64_t shard_hash(std::string_view relative);

// "K/N" with 0 <= K < N; false for anything else.
bool parse_shard(const char *text, uint64_t &shard, uint64_t &shards);

// Keeps the inputs whose relative path hashes to `shard` modulo `shards`.
void keep_shard(archive_listing &listing, uint64_t shard, uint64_t shards);

// True for the names faxtool's own temporary files have: a new file's hidden
// name, and those of earlier versions, ".NAME.XXXXXX" of an output being
// written and "NAME.<digits>" beside a NAME being recompressed.
bool is_temporary_name(std::string_view name, const std::vector<std::string> &siblings);
// The last of those alone: "NAME.<digits>" with a NAME among the siblings.
bool is_numbered_sibling(std::string_view name, const std::vector<std::string> &siblings);
