// Allocation tracking: stand-ins for malloc, open, creat and fopen that
// remember where every block, descriptor and stream came from, fence blocks
// with guard words and report damage and handles left open. Each call takes
// the caller's __FILE__ and __LINE__ as its last two arguments.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include <sys/types.h>

constexpr int OX_ALLOC_SLOTS = 100000;
constexpr int OX_FILE_SLOTS = 2000;
constexpr int OX_NAME_LEN = 16;  // source file names are cut to this

// Block layout: [slot index:4][guard:4][caller's n bytes][guard:4].
constexpr std::size_t OX_HEAD_BYTES = 8;
constexpr std::size_t OX_TAIL_BYTES = 4;

struct ox_alloc_record {
    char file[OX_NAME_LEN + 1];
    int32_t line;
    int32_t size;
    std::time_t time;
    void *pointer;   // what the caller got (block start + OX_HEAD_BYTES)
    bool in_use;
};

enum ox_handle_kind : uint8_t { OX_EMPTY = 0, OX_DESCRIPTOR, OX_STREAM };

struct ox_file_record {
    char file[OX_NAME_LEN + 1];
    int32_t line;
    char *path;      // own copy; null if the copy could not be made
    std::time_t time;
    uintptr_t handle;  // descriptor number or stream address
    ox_handle_kind kind;
};

// An index entry: a pointer or handle, and 1 + the slot that holds it
// (0 marks an unused entry, so that a cleared index is an empty one).
struct ox_index_entry {
    uintptr_t key;
    int32_t slot;
};

// Index over one table, so that neither finding a record nor taking the
// lowest empty slot searches the table. The table stays the truth: an entry
// counts only when the slot it names still holds its key.
template <int SLOTS, int BUCKETS>
struct ox_slot_index {
    static_assert((BUCKETS & (BUCKETS - 1)) == 0 && BUCKETS >= 2 * SLOTS, "a sparse power-of-two hash");
    ox_index_entry entries[BUCKETS];  // open addressing, linear probing
    int32_t emptied[SLOTS];           // min-heap of the empty slots below fresh
    int32_t emptied_count;
    int32_t fresh;                    // no slot from here up has held a record
};

// The tracking tables. A high-water mark is the highest slot ever used.
struct ox_tracking_tables {
    ox_alloc_record allocs[OX_ALLOC_SLOTS];
    int alloc_high;
    ox_file_record files[OX_FILE_SLOTS];
    int file_high;
    ox_slot_index<OX_ALLOC_SLOTS, 1 << 18> alloc_index;
    ox_slot_index<OX_FILE_SLOTS, 1 << 12> file_index;
};

extern ox_tracking_tables ox_tracking;

// Cleared block of size bytes, or null (nothing recorded) when the memory
// or a free slot is lacking.
void *dmalloc(std::size_t size, const char *file, int line);
// New block holding the old contents as far as they fit; the old block is
// released. When the new block cannot be had, null is returned and the old
// block stays valid and tracked.
void *drealloc(void *old, std::size_t size, const char *file, int line);
// 1 when the block was tracked and both guards held, else 0.
int dfree(void *pointer, const char *file, int line);
// Slot of the pointer's record, or -1.
int dfind(const void *pointer);

int dopen(const char *path, int flags, mode_t mode, const char *file, int line);
int dcreat(const char *path, mode_t mode, const char *file, int line);
FILE *dfopen(const char *path, const char *mode, const char *file, int line);
int dclose(int fd, const char *file, int line);
int dfclose(FILE *stream, const char *file, int line);

// Standard output: one line for every damaged block; nothing when all hold.
void dmalloc_check(void);
// Standard output: one line for every tracked descriptor and stream.
void dfile_report(void);
