// Allocation tracking: guarded blocks, tracked descriptors and streams, and
// the reports over them.
#include "util/ox_functions.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <iterator>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

[[maybe_unused]] static const char what_string[] = "@(#)|ox_functions|9|01|2|0|0|07/26/99|14:47:50";

ox_tracking_tables ox_tracking = {};

namespace {

constexpr char GUARD[4] = {'z', 'z', 'z', 'z'};
constexpr int TIME_TEXT_LEN = 12;  // "Mmm dd hh:mm"
// Handles up to this are shown as descriptor numbers, larger ones as addresses.
constexpr uintptr_t LARGEST_DESCRIPTOR = 2000;

// Keeps the messages well-defined when a caller passes no file name.
const char *shown(const char *name)
{
    return name ? name : "(null)";
}

void copy_name(char (&to)[OX_NAME_LEN + 1], const char *name)
{
    std::strncpy(to, shown(name), OX_NAME_LEN);
    to[OX_NAME_LEN] = '\0';
}

unsigned char *block_start(const ox_alloc_record &rec)
{
    return static_cast<unsigned char *>(rec.pointer) - OX_HEAD_BYTES;
}

bool guards_hold(const ox_alloc_record &rec)
{
    const unsigned char *user = static_cast<const unsigned char *>(rec.pointer);
    return std::memcmp(user - sizeof GUARD, GUARD, sizeof GUARD) == 0 &&
           std::memcmp(user + rec.size, GUARD, sizeof GUARD) == 0;
}

int32_t stored_slot(const ox_alloc_record &rec)
{
    int32_t slot;
    std::memcpy(&slot, block_start(rec), sizeof slot);
    return slot;
}

// --- index ------------------------------------------------------------------
// Tracking 100000 blocks must stay linear overall: a hash from pointer or
// handle to slot, and a min-heap of emptied slots for "lowest empty slot".

template <int S, int B>
std::size_t home_bucket(const ox_slot_index<S, B> &, uintptr_t key)
{
    // Fibonacci hashing: the high bits of the product mix every key bit.
    uint64_t mixed = static_cast<uint64_t>(key) * UINT64_C(0x9E3779B97F4A7C15);
    return static_cast<std::size_t>(mixed >> 40) & (B - 1);
}

template <int S, int B>
bool index_insert(ox_slot_index<S, B> &index, uintptr_t key, int slot)
{
    std::size_t at = home_bucket(index, key);
    for (int probes = 0; probes < B; ++probes, at = (at + 1) & (B - 1)) {
        if (index.entries[at].slot == 0) {
            index.entries[at] = {key, slot + 1};
            return true;
        }
    }
    return false;
}

// Lowest slot indexed under key that holds() confirms, or -1.
template <int S, int B, class Holds>
int index_find(const ox_slot_index<S, B> &index, uintptr_t key, Holds holds)
{
    int found = -1;
    std::size_t at = home_bucket(index, key);
    for (int probes = 0; probes < B && index.entries[at].slot != 0; ++probes, at = (at + 1) & (B - 1)) {
        int slot = index.entries[at].slot - 1;
        if (index.entries[at].key == key && (found < 0 || slot < found) && holds(slot))
            found = slot;
    }
    return found;
}

// Removes the entry (key, slot), moving later entries of the probe run back
// so that no lookup stops early at the hole.
template <int S, int B>
void index_erase(ox_slot_index<S, B> &index, uintptr_t key, int slot)
{
    std::size_t hole = home_bucket(index, key);
    int probes = 0;
    for (; probes < B && index.entries[hole].slot != 0; ++probes, hole = (hole + 1) & (B - 1))
        if (index.entries[hole].key == key && index.entries[hole].slot == slot + 1)
            break;
    if (probes == B || index.entries[hole].slot == 0)
        return;
    for (std::size_t next = (hole + 1) & (B - 1); index.entries[next].slot != 0; next = (next + 1) & (B - 1)) {
        std::size_t home = home_bucket(index, index.entries[next].key);
        // The entry may fill the hole unless its home lies cyclically in (hole, next].
        bool home_after_hole = hole <= next ? hole < home && home <= next : hole < home || home <= next;
        if (!home_after_hole) {
            index.entries[hole] = index.entries[next];
            hole = next;
        }
    }
    index.entries[hole] = {};
}

// The lowest empty slot, or -1 when the table is full. Slots filled behind
// the index's back are passed over.
template <int S, int B, class Used>
int index_lowest_empty(ox_slot_index<S, B> &index, Used used)
{
    auto *heap = index.emptied;
    while (index.emptied_count > 0 && used(heap[0]))
        std::pop_heap(heap, heap + index.emptied_count--, std::greater<>());
    if (index.emptied_count > 0)
        return heap[0];
    while (index.fresh < S && used(index.fresh))
        ++index.fresh;
    return index.fresh < S ? index.fresh : -1;
}

// Records that slot, just found by index_lowest_empty, now holds key.
template <int S, int B>
bool index_claim(ox_slot_index<S, B> &index, int slot, uintptr_t key)
{
    if (!index_insert(index, key, slot))
        return false;
    if (index.emptied_count > 0 && index.emptied[0] == slot)
        std::pop_heap(index.emptied, index.emptied + index.emptied_count--, std::greater<>());
    else
        index.fresh = slot + 1;
    return true;
}

template <int S, int B>
void index_release(ox_slot_index<S, B> &index, int slot, uintptr_t key)
{
    index_erase(index, key, slot);
    if (index.emptied_count < S) {
        index.emptied[index.emptied_count++] = slot;
        std::push_heap(index.emptied, index.emptied + index.emptied_count, std::greater<>());
    }
}

// After the report ordering has moved records between slots.
template <int S, int B, class Used, class Key>
void index_rebuild(ox_slot_index<S, B> &index, int high, Used used, Key key)
{
    std::fill(std::begin(index.entries), std::end(index.entries), ox_index_entry{});
    index.emptied_count = 0;
    for (int slot = 0; slot <= high; ++slot) {
        if (used(slot))
            index_insert(index, key(slot), slot);
        else
            index.emptied[index.emptied_count++] = slot;  // ascending: already a min-heap
    }
    index.fresh = high + 1;
}

uintptr_t alloc_key(const void *pointer)
{
    return reinterpret_cast<uintptr_t>(pointer);
}

bool alloc_used(int slot)
{
    return ox_tracking.allocs[slot].in_use;
}

bool file_used(int slot)
{
    return ox_tracking.files[slot].kind != OX_EMPTY;
}

int lowest_empty_alloc_slot()
{
    return index_lowest_empty(ox_tracking.alloc_index, alloc_used);
}

int lowest_empty_file_slot()
{
    return index_lowest_empty(ox_tracking.file_index, file_used);
}

void report_table_full(const char *who, const char *table, const char *file, int line)
{
    std::fprintf(stderr, "\a\nError in %s: %s table full (%s, %d)\n", who, table, shown(file), line);
}

// "Mmm dd hh:mm" of the time, characters 4 to 15 of its ctime text.
void format_time_text(std::time_t when, char (&out)[TIME_TEXT_LEN + 1])
{
    char date[32];
    if (ctime_r(&when, date) && std::strlen(date) >= 4 + TIME_TEXT_LEN)
        std::memcpy(out, date + 4, TIME_TEXT_LEN);
    else
        std::memcpy(out, "??? ?? ??:??", TIME_TEXT_LEN);
    out[TIME_TEXT_LEN] = '\0';
}

// Report ordering: records by ascending time, empty slots last. Stable, so
// records of the same second keep their relative order.
template <class Record, class IsUsed>
void order_for_report(Record *slots, int high, IsUsed used)
{
    std::stable_sort(slots, slots + high + 1, [&](const Record &a, const Record &b) {
        if (!used(a) || !used(b))
            return used(a) && !used(b);
        return a.time < b.time;
    });
}

int find_file_record(ox_handle_kind kind, uintptr_t handle)
{
    return index_find(ox_tracking.file_index, handle, [&](int slot) {
        const ox_file_record &rec = ox_tracking.files[slot];
        return rec.kind == kind && rec.handle == handle;
    });
}

// False when the index has no room (it always has: it is twice the table).
bool record_file(int slot, ox_handle_kind kind, uintptr_t handle, const char *path,
                 const char *file, int line)
{
    if (!index_claim(ox_tracking.file_index, slot, handle))
        return false;
    ox_file_record &rec = ox_tracking.files[slot];
    copy_name(rec.file, file);
    rec.line = line;
    // The path is never reported, so a failed copy costs nothing but the copy.
    rec.path = strdup(path);
    rec.time = std::time(nullptr);
    rec.handle = handle;
    rec.kind = kind;
    ox_tracking.file_high = std::max(ox_tracking.file_high, slot);
    return true;
}

// Forgets the record of the handle; false when there is none.
bool forget_file(ox_handle_kind kind, uintptr_t handle)
{
    int slot = find_file_record(kind, handle);
    if (slot < 0)
        return false;
    ox_file_record &rec = ox_tracking.files[slot];
    std::free(rec.path);
    rec = ox_file_record{};
    index_release(ox_tracking.file_index, slot, handle);
    return true;
}

// fd, recorded in slot; a handle that cannot be recorded is closed again.
int tracked_descriptor(int slot, int fd, const char *path, const char *file, int line)
{
    if (fd >= 0 && !record_file(slot, OX_DESCRIPTOR, static_cast<uintptr_t>(fd), path, file, line)) {
        close(fd);
        errno = EMFILE;
        return -1;
    }
    return fd;
}

// The slot a new descriptor record will take, checked before opening so that
// a full table refuses the call before creat or fopen can touch the file.
int reserve_file_slot(const char *who, const char *path, const char *file, int line)
{
    if (!path) {
        errno = EFAULT;
        return -1;
    }
    int slot = lowest_empty_file_slot();
    if (slot < 0) {
        report_table_full(who, "descriptor", file, line);
        errno = EMFILE;
    }
    return slot;
}

}  // namespace

void *dmalloc(std::size_t size, const char *file, int line)
{
    // The size is recorded as a 32-bit count.
    if (size > static_cast<std::size_t>(INT32_MAX) - OX_HEAD_BYTES - OX_TAIL_BYTES)
        return nullptr;
    int slot = lowest_empty_alloc_slot();
    if (slot < 0) {
        report_table_full("dmalloc", "allocation", file, line);
        return nullptr;
    }
    auto *block = static_cast<unsigned char *>(std::calloc(1, size + OX_HEAD_BYTES + OX_TAIL_BYTES));
    if (!block)
        return nullptr;
    std::memcpy(block + 4, GUARD, sizeof GUARD);
    std::memcpy(block + OX_HEAD_BYTES + size, GUARD, sizeof GUARD);
    int32_t index = slot;
    std::memcpy(block, &index, sizeof index);
    if (!index_claim(ox_tracking.alloc_index, slot, alloc_key(block + OX_HEAD_BYTES))) {
        std::free(block);
        report_table_full("dmalloc", "allocation", file, line);
        return nullptr;
    }

    ox_alloc_record &rec = ox_tracking.allocs[slot];
    copy_name(rec.file, file);
    rec.line = line;
    rec.size = static_cast<int32_t>(size);
    rec.time = std::time(nullptr);
    rec.pointer = block + OX_HEAD_BYTES;
    rec.in_use = true;
    ox_tracking.alloc_high = std::max(ox_tracking.alloc_high, slot);
    return rec.pointer;
}

int dfind(const void *pointer)
{
    if (!pointer)
        return -1;
    return index_find(ox_tracking.alloc_index, alloc_key(pointer), [&](int slot) {
        const ox_alloc_record &rec = ox_tracking.allocs[slot];
        return rec.in_use && rec.pointer == pointer;
    });
}

void *drealloc(void *old, std::size_t size, const char *file, int line)
{
    void *fresh = dmalloc(size, file, line);
    if (!fresh)
        return nullptr;  // the old block stays as it was
    int slot = dfind(old);
    if (slot >= 0) {
        std::size_t old_size = static_cast<std::size_t>(ox_tracking.allocs[slot].size);
        std::memcpy(fresh, old, std::min(old_size, size));
    }
    dfree(old, file, line);
    return fresh;
}

int dfree(void *pointer, const char *file, int line)
{
    if (!pointer) {
        std::fprintf(stderr, "\a\nError in dfree: trying to free NULL pointer (%s, %d)\n", shown(file), line);
        return 0;
    }
    // Untracked pointers are never dereferenced: the record is found first.
    int slot = dfind(pointer);
    if (slot < 0) {
        std::fprintf(stderr, "\a\nError in dfree: couldn't find pointer to free! (%s, %d)\n", shown(file), line);
        return 0;
    }
    ox_alloc_record &rec = ox_tracking.allocs[slot];
    bool intact = guards_hold(rec);
    if (!intact)
        std::fprintf(stderr,
                     "\a\nError in dfree: freed by %s, %d, freeing fname = %s, line_no = %d, nbytes = %d, "
                     "time = %lld, indx = %d\n",
                     shown(file), line, rec.file, static_cast<int>(rec.line), static_cast<int>(rec.size),
                     static_cast<long long>(rec.time), slot);
    std::free(block_start(rec));
    rec = ox_alloc_record{};
    index_release(ox_tracking.alloc_index, slot, alloc_key(pointer));
    return intact ? 1 : 0;
}

int dopen(const char *path, int flags, mode_t mode, const char *file, int line)
{
    int slot = reserve_file_slot("dopen", path, file, line);
    if (slot < 0)
        return -1;
    return tracked_descriptor(slot, open(path, flags, mode), path, file, line);
}

int dcreat(const char *path, mode_t mode, const char *file, int line)
{
    int slot = reserve_file_slot("dcreat", path, file, line);
    if (slot < 0)
        return -1;
    return tracked_descriptor(slot, creat(path, mode), path, file, line);
}

FILE *dfopen(const char *path, const char *mode, const char *file, int line)
{
    if (!mode) {
        errno = EINVAL;
        return nullptr;
    }
    int slot = reserve_file_slot("dfopen", path, file, line);
    if (slot < 0)
        return nullptr;
    FILE *stream = std::fopen(path, mode);
    if (stream && !record_file(slot, OX_STREAM, reinterpret_cast<uintptr_t>(stream), path, file, line)) {
        std::fclose(stream);
        errno = EMFILE;
        return nullptr;
    }
    return stream;
}

int dclose(int fd, const char *file, int line)
{
    if (fd < 0 || !forget_file(OX_DESCRIPTOR, static_cast<uintptr_t>(fd)))
        std::fprintf(stderr, "\a\nError in dclose: couldn't find file descriptor to close! (%s, %d)\n",
                     shown(file), line);
    return close(fd);
}

int dfclose(FILE *stream, const char *file, int line)
{
    if (!stream || !forget_file(OX_STREAM, reinterpret_cast<uintptr_t>(stream)))
        std::fprintf(stderr, "\a\nError in dfclose: couldn't find FILE pointer to close! (%s, %d)\n",
                     shown(file), line);
    if (!stream) {
        errno = EBADF;  // fclose(NULL) would crash
        return EOF;
    }
    return std::fclose(stream);
}

void dmalloc_check(void)
{
    order_for_report(ox_tracking.allocs, ox_tracking.alloc_high,
                     [](const ox_alloc_record &r) { return r.in_use; });
    index_rebuild(ox_tracking.alloc_index, ox_tracking.alloc_high, alloc_used,
                  [](int slot) { return alloc_key(ox_tracking.allocs[slot].pointer); });
    for (int i = 0; i <= ox_tracking.alloc_high; ++i) {
        const ox_alloc_record &rec = ox_tracking.allocs[i];
        if (!rec.in_use)
            continue;
        int32_t index = stored_slot(rec);
        if (index >= 0 && index <= ox_tracking.alloc_high && guards_hold(rec))
            continue;
        char when[TIME_TEXT_LEN + 1];
        format_time_text(rec.time, when);
        std::printf("\a%16.16s,   line %4d,   %s: %6d bytes  CORRUPTED!\n", rec.file,
                    static_cast<int>(rec.line), when, static_cast<int>(rec.size));
    }
}

void dfile_report(void)
{
    order_for_report(ox_tracking.files, ox_tracking.file_high,
                     [](const ox_file_record &r) { return r.kind != OX_EMPTY; });
    index_rebuild(ox_tracking.file_index, ox_tracking.file_high, file_used,
                  [](int slot) { return ox_tracking.files[slot].handle; });
    for (int i = 0; i <= ox_tracking.file_high; ++i) {
        const ox_file_record &rec = ox_tracking.files[i];
        if (rec.kind == OX_EMPTY)
            continue;
        char when[TIME_TEXT_LEN + 1];
        format_time_text(rec.time, when);
        if (rec.handle <= LARGEST_DESCRIPTOR)
            std::printf("%16.16s,   line %4d,   %s: %ld\n", rec.file, static_cast<int>(rec.line), when,
                        static_cast<long>(rec.handle));
        else
            std::printf("%16.16s,   line %4d,   %s: 0x%lx\n", rec.file, static_cast<int>(rec.line), when,
                        static_cast<unsigned long>(rec.handle));
    }
}
