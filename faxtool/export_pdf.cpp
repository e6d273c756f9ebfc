// PDF export. The pages are written as plain PDF objects to an unnamed spool
// file as they come; at the end qpdf reads the spool, which it does lazily,
// and writes the document, reading each stream's data when it writes it. So
// no page's data is held beyond its own writing, and the bytes are those of
// qpdf writing the same objects. qpdf is used through its C interface, which
// reports failures as error states: nothing is thrown across this unit.
#include "faxtool/export_pdf.h"

#include <fcntl.h>
#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "faxtool/qpdf_library.h"
#include "t4/bitmanip.h"

struct pdf_writer {
    const qpdf_library *api = nullptr;
    int spool_fd = -1;
    FILE *spool = nullptr;          // owns spool_fd once made
    uint64_t written = 0;           // bytes in the spool
    std::vector<uint64_t> offsets;  // of objects 1.., 0 until written
    uint32_t pages = 0;
    bool failed = false;            // a spool write failed
    bool map_spool = false;         // qpdf reads the spool mapped
    std::string spool_directory;
    std::vector<uint8_t> coded;     // a page coded here, reused
    std::vector<uint8_t> mirrored;  // the image data as the filter reads it, reused
};

namespace {

// Objects 1 and 2, the catalog and the page tree, are written last; each
// page then takes three: its image, its contents and itself.
constexpr uint32_t CATALOG_OBJECT = 1;
constexpr uint32_t PAGES_OBJECT = 2;
constexpr uint32_t OBJECTS_PER_PAGE = 3;
constexpr std::size_t COPY_CHUNK = 64 * 1024;

uint32_t page_object(uint32_t index) { return PAGES_OBJECT + OBJECTS_PER_PAGE * (index + 1); }

std::string points(double inches)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.4f", inches * 72.0);
    return text;
}

// The name qpdf opens a descriptor of ours by.
std::string descriptor_path(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// The pending error as a reason; true when there was one.
bool take_error(const qpdf_library &q, qpdf_data pdf, std::string &reason)
{
    if (q.qpdf_has_error(pdf) == QPDF_FALSE)
        return false;
    qpdf_error error = q.qpdf_get_error(pdf);
    const char *text = error != nullptr ? q.qpdf_get_error_full_text(pdf, error) : nullptr;
    reason = text != nullptr ? text : "qpdf failed";
    return true;
}

// An unnamed file in directory, open for reading and writing; -1 with a
// reason. Where the file system has no unnamed files, a named one that is
// removed at once.
int open_spool(const std::string &directory, std::string &reason)
{
    int fd = open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        std::string name = directory + "/.ftXXXXXX";
        fd = mkostemp(name.data(), O_CLOEXEC);
        if (fd >= 0)
            unlink(name.c_str());
    }
    if (fd < 0)
        reason = "cannot make a spool file in " + directory + ": " + std::strerror(errno);
    return fd;
}

void spool_bytes(pdf_writer &writer, const void *data, std::size_t size)
{
    if (size > 0 && std::fwrite(data, 1, size, writer.spool) != size)
        writer.failed = true;
    writer.written += size;
}

// The pieces one after the other. (Pieces, not a sum of strings: g++ 12 at
// -O3 warns falsely on a literal added to a temporary string.)
void spool_text(pdf_writer &writer, std::initializer_list<std::string_view> pieces)
{
    for (const std::string_view piece : pieces)
        spool_bytes(writer, piece.data(), piece.size());
}

void begin_object(pdf_writer &writer, uint32_t number)
{
    if (writer.offsets.size() < number)
        writer.offsets.resize(number, 0);
    writer.offsets[number - 1] = writer.written;
    spool_text(writer, {std::to_string(number), " 0 obj\n"});
}

// A stream object of `dict` (without /Length) and its data.
void spool_stream(pdf_writer &writer, uint32_t number, const std::string &dict, const uint8_t *data,
                  std::size_t size)
{
    begin_object(writer, number);
    spool_text(writer, {"<< ", dict, " /Length ", std::to_string(size), " >>\nstream\n"});
    spool_bytes(writer, data, size);
    spool_text(writer, {"\nendstream\nendobj\n"});
}

void spool_page(pdf_writer &writer, const mmr_page &page)
{
    const uint32_t self = page_object(writer.pages), image = self - 2, contents = self - 1;
    // The CCITT filter reads each byte from its most significant bit; the
    // data has the first bit of the stream in bit 0, so every byte is mirrored.
    writer.mirrored.resize(page.size);
    copy_reversed_bits(page.data, writer.mirrored.data(), page.size);
    const std::string width = std::to_string(page.width), rows = std::to_string(page.height);
    // BlackIs1 false: black comes out as 0, which DeviceGray shows black.
    spool_stream(writer, image,
                 "/Type /XObject /Subtype /Image /Width " + width + " /Height " + rows +
                     " /ColorSpace /DeviceGray /BitsPerComponent 1 /Filter /CCITTFaxDecode /DecodeParms << /K -1"
                     " /Columns " + width + " /Rows " + rows + " /BlackIs1 false >>",
                 writer.mirrored.data(), writer.mirrored.size());
    const dpi_pair dpi = resolution_dpi(page.resolution);
    const std::string w = points(static_cast<double>(page.width) / dpi.x);
    const std::string h = points(static_cast<double>(page.height) / dpi.y);
    const std::string drawing = "q " + w + " 0 0 " + h + " 0 0 cm /Im0 Do Q\n";
    spool_stream(writer, contents, "", reinterpret_cast<const uint8_t *>(drawing.data()), drawing.size());
    begin_object(writer, self);
    spool_text(writer, {"<< /Type /Page /MediaBox [0 0 ", w, " ", h, "] /Resources << /XObject << /Im0 ",
                        std::to_string(image), " 0 R >> >> /Contents ", std::to_string(contents),
                        " 0 R /Parent ", std::to_string(PAGES_OBJECT), " 0 R >>\nendobj\n"});
    ++writer.pages;
}

// The page tree, the catalog, the cross-reference table and the trailer.
void spool_end(pdf_writer &writer)
{
    begin_object(writer, PAGES_OBJECT);
    spool_text(writer, {"<< /Type /Pages /Kids ["});
    for (uint32_t i = 0; i < writer.pages; ++i)
        spool_text(writer, {" ", std::to_string(page_object(i)), " 0 R"});
    spool_text(writer, {" ] /Count ", std::to_string(writer.pages), " >>\nendobj\n"});
    begin_object(writer, CATALOG_OBJECT);
    spool_text(writer, {"<< /Type /Catalog /Pages ", std::to_string(PAGES_OBJECT), " 0 R >>\nendobj\n"});
    const uint64_t xref = writer.written;
    const std::size_t objects = writer.offsets.size() + 1;
    spool_text(writer, {"xref\n0 ", std::to_string(objects), "\n0000000000 65535 f \n"});
    for (const uint64_t offset : writer.offsets) {
        char entry[32];
        std::snprintf(entry, sizeof entry, "%010llu 00000 n \n", static_cast<unsigned long long>(offset));
        spool_text(writer, {entry});
    }
    spool_text(writer, {"trailer\n<< /Size ", std::to_string(objects), " /Root ", std::to_string(CATALOG_OBJECT),
                        " 0 R >>\nstartxref\n", std::to_string(xref), "\n%%EOF\n"});
}

// Copies what qpdf wrote to fd into the output's stream (standard output or
// a device, which qpdf cannot be given to open).
bool copy_to_stream(int fd, FILE *stream, std::string &reason)
{
    std::vector<uint8_t> chunk(COPY_CHUNK);
    if (lseek(fd, 0, SEEK_SET) != 0) {
        reason = std::strerror(errno);
        return false;
    }
    for (;;) {
        const ssize_t got = read(fd, chunk.data(), chunk.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            reason = std::strerror(errno);
            return false;
        }
        if (got == 0)
            break;
        errno = 0;
        if (std::fwrite(chunk.data(), 1, static_cast<std::size_t>(got), stream) != static_cast<std::size_t>(got)) {
            reason = errno != 0 ? std::strerror(errno) : "cannot write the PDF file";
            return false;
        }
    }
    errno = 0;
    if (std::fflush(stream) != 0 || std::ferror(stream) != 0) {
        reason = errno != 0 ? std::strerror(errno) : "cannot write the PDF file";
        return false;
    }
    return true;
}

// The whole spool mapped for reading, when the writer may map it; null
// when not, or when it cannot be mapped (qpdf then reads the file).
const char *map_spool(const pdf_writer &writer)
{
    if (!writer.map_spool || writer.written == 0 || writer.written > SIZE_MAX)
        return nullptr;
    void *mapped = mmap(nullptr, writer.written, PROT_READ, MAP_PRIVATE | MAP_POPULATE, writer.spool_fd, 0);
    return mapped != MAP_FAILED ? static_cast<const char *>(mapped) : nullptr;
}

// qpdf reads the spool and writes the document to the file at target_fd.
bool write_document(const pdf_writer &writer, int target_fd, std::string &reason)
{
    const qpdf_library &q = *writer.api;
    qpdf_data pdf = q.qpdf_init();
    q.qpdf_silence_errors(pdf);
    q.qpdf_set_suppress_warnings(pdf, QPDF_TRUE);
    // Read through a file, qpdf makes a system call or two for every object
    // and every piece of stream data; mapped, none. Its messages name the
    // spool the same way either way.
    const char *mapped = map_spool(writer);
    const std::string spool_name = descriptor_path(writer.spool_fd);
    const auto write = [&] {
        if (mapped != nullptr)
            q.qpdf_read_memory(pdf, spool_name.c_str(), mapped, writer.written, nullptr);
        else
            q.qpdf_read(pdf, spool_name.c_str(), nullptr);
        if (q.qpdf_has_error(pdf) != QPDF_FALSE)
            return;
        q.qpdf_init_write(pdf, descriptor_path(target_fd).c_str());
        // The same pages make the same bytes, whenever and however often written.
        q.qpdf_set_deterministic_ID(pdf, QPDF_TRUE);
        q.qpdf_write(pdf);
    };
    // qpdf's writer sets up shared data on its first use without a lock
    // (ThreadSanitizer sees it); after that, writers only read it. So the
    // first document is written alone, and the rest side by side.
    static std::once_flag first_write;
    bool written = false;
    std::call_once(first_write, [&] {
        write();
        written = true;
    });
    if (!written)
        write();
    const bool ok = !take_error(q, pdf, reason);
    // qpdf's own descriptors of both files are closed here.
    q.qpdf_cleanup(&pdf);
    if (mapped != nullptr)
        munmap(const_cast<char *>(mapped), writer.written);
    return ok;
}

}  // namespace

pdf_writer *pdf_open_writer(const output_file &out, bool map_spool, std::string &reason)
{
    const qpdf_library *api = load_qpdf_library(reason);
    if (api == nullptr)
        return nullptr;
    auto *writer = new (std::nothrow) pdf_writer;
    if (writer == nullptr) {
        reason = "out of memory";
        return nullptr;
    }
    writer->api = api;
    writer->map_spool = map_spool;
    if (out.file.fd >= 0) {
        writer->spool_directory = directory_of(out.path);
    } else {
        const char *tmp = std::getenv("TMPDIR");
        writer->spool_directory = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
    }
    writer->spool_fd = open_spool(writer->spool_directory, reason);
    writer->spool = writer->spool_fd >= 0 ? fdopen(writer->spool_fd, "w+b") : nullptr;
    if (writer->spool == nullptr) {
        if (writer->spool_fd >= 0)
            reason = std::strerror(errno);
        pdf_discard_writer(writer);
        return nullptr;
    }
    writer->offsets.resize(PAGES_OBJECT, 0);
    spool_text(*writer, {"%PDF-1.3\n"});
    return writer;
}

bool pdf_add_page(pdf_writer *writer, const page_image &page, std::string &reason)
{
    if (!code_page_conforming_mmr(page, writer->coded)) {
        reason = "the encoder failed";
        return false;
    }
    return pdf_add_coded_page(writer, mmr_page_of(page, writer->coded), reason);
}

bool pdf_add_coded_page(pdf_writer *writer, const mmr_page &page, std::string &reason)
{
    spool_page(*writer, page);
    if (!writer->failed)
        return true;
    reason = "cannot write the spool file in " + writer->spool_directory + ": " + std::strerror(errno);
    return false;
}

bool pdf_close_writer(pdf_writer *writer, output_file &out, std::string &reason)
{
    spool_end(*writer);
    errno = 0;
    bool ok = !writer->failed && std::fflush(writer->spool) == 0;
    if (!ok)
        reason = "cannot write the spool file in " + writer->spool_directory + ": " +
                 std::strerror(errno != 0 ? errno : EIO);
    // A new file is written in place; standard output and devices get a
    // copy of a second spool.
    int target = out.file.fd;
    if (ok && target < 0 && (target = open_spool(writer->spool_directory, reason)) < 0)
        ok = false;
    ok = ok && write_document(*writer, target, reason);
    if (ok && out.file.fd < 0)
        ok = copy_to_stream(target, out.stream, reason);
    if (target >= 0 && target != out.file.fd)
        close(target);
    pdf_discard_writer(writer);
    return ok;
}

void pdf_keep_freed_heap()
{
    // Setting the pad fixes the mmap threshold too, which otherwise grows
    // with the blocks freed: it is set where that growth would end.
    constexpr int HEAP_PAD = 4 << 20, MMAP_THRESHOLD = 32 << 20;
    mallopt(M_MMAP_THRESHOLD, MMAP_THRESHOLD);
    mallopt(M_TOP_PAD, HEAP_PAD);
}

void pdf_discard_writer(pdf_writer *writer)
{
    if (writer == nullptr)
        return;
    if (writer->spool != nullptr)
        std::fclose(writer->spool);  // and spool_fd with it
    else if (writer->spool_fd >= 0)
        close(writer->spool_fd);
    delete writer;
}
