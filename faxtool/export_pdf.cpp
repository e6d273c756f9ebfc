// PDF export, written as the pages come: a header, three objects a page
// (image, contents, page), then the page tree, the catalog, the
// cross-reference table and the trailer. The same pages make the same
// bytes, whenever and however often written.
#include "faxtool/export_pdf.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "t4/bitmanip.h"

struct pdf_writer {
    FILE *stream = nullptr;         // the output's; not owned
    uint64_t written = 0;           // bytes of the document so far
    std::vector<uint64_t> offsets;  // of objects 1.., 0 until written
    uint32_t pages = 0;
    uint64_t max_size = PDF_MAX_SIZE;
    int error = 0;                  // errno of the first failed write, or EIO
    bool past_max = false;          // stopped before passing max_size; a write's own EFBIG is an error
    std::vector<uint8_t> coded;     // a page coded here, reused
    std::vector<uint8_t> mirrored;  // the image data as the filter reads it, reused
};

namespace {

// Objects 1 and 2, the catalog and the page tree, are written last; each
// page then takes three: its image, its contents and itself.
constexpr uint32_t CATALOG_OBJECT = 1;
constexpr uint32_t PAGES_OBJECT = 2;
constexpr uint32_t OBJECTS_PER_PAGE = 3;
// The version, and a comment of bytes above 127 that marks the file as
// binary for programs that guess.
constexpr std::string_view PDF_HEADER = "%PDF-1.3\n%\xE2\xE3\xCF\xD3\n";

uint32_t page_object(uint32_t index) { return PAGES_OBJECT + OBJECTS_PER_PAGE * (index + 1); }

std::string points(double inches)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.4f", inches * 72.0);
    return text;
}

void put_bytes(pdf_writer &writer, const void *data, std::size_t size)
{
    if (writer.error != 0 || writer.past_max || size == 0)
        return;
    if (size > writer.max_size - writer.written) {
        writer.past_max = true;
        return;
    }
    errno = 0;
    if (std::fwrite(data, 1, size, writer.stream) != size)
        writer.error = errno != 0 ? errno : EIO;
    writer.written += size;
}

// The pieces one after the other. (Pieces, not a sum of strings: g++ 12 at
// -O3 warns falsely on a literal added to a temporary string.)
void put_text(pdf_writer &writer, std::initializer_list<std::string_view> pieces)
{
    for (const std::string_view piece : pieces)
        put_bytes(writer, piece.data(), piece.size());
}

void begin_object(pdf_writer &writer, uint32_t number)
{
    if (writer.offsets.size() < number)
        writer.offsets.resize(number, 0);
    writer.offsets[number - 1] = writer.written;
    put_text(writer, {std::to_string(number), " 0 obj\n"});
}

// A stream object of `dict` (without /Length) and its data.
void put_stream(pdf_writer &writer, uint32_t number, const std::string &dict, const uint8_t *data, std::size_t size)
{
    begin_object(writer, number);
    put_text(writer, {"<< ", dict, " /Length ", std::to_string(size), " >>\nstream\n"});
    put_bytes(writer, data, size);
    put_text(writer, {"\nendstream\nendobj\n"});
}

void put_page(pdf_writer &writer, const mmr_page &page)
{
    const uint32_t self = page_object(writer.pages), image = self - 2, contents = self - 1;
    // The CCITT filter reads each byte from its most significant bit; the
    // data has the first bit of the stream in bit 0, so every byte is mirrored.
    writer.mirrored.resize(page.size);
    copy_reversed_bits(page.data, writer.mirrored.data(), page.size);
    const std::string width = std::to_string(page.width), rows = std::to_string(page.height);
    // BlackIs1 false: black comes out as 0, which DeviceGray shows black.
    put_stream(writer, image,
               "/Type /XObject /Subtype /Image /Width " + width + " /Height " + rows +
                   " /ColorSpace /DeviceGray /BitsPerComponent 1 /Filter /CCITTFaxDecode /DecodeParms << /K -1"
                   " /Columns " + width + " /Rows " + rows + " /BlackIs1 false >>",
               writer.mirrored.data(), writer.mirrored.size());
    const dpi_pair dpi = resolution_dpi(page.resolution);
    const std::string w = points(static_cast<double>(page.width) / dpi.x);
    const std::string h = points(static_cast<double>(page.height) / dpi.y);
    const std::string drawing = "q " + w + " 0 0 " + h + " 0 0 cm /Im0 Do Q\n";
    put_stream(writer, contents, "", reinterpret_cast<const uint8_t *>(drawing.data()), drawing.size());
    begin_object(writer, self);
    put_text(writer, {"<< /Type /Page /MediaBox [0 0 ", w, " ", h, "] /Resources << /XObject << /Im0 ",
                      std::to_string(image), " 0 R >> >> /Contents ", std::to_string(contents), " 0 R /Parent ",
                      std::to_string(PAGES_OBJECT), " 0 R >>\nendobj\n"});
    ++writer.pages;
}

// The page tree, the catalog, the cross-reference table and the trailer.
void put_end(pdf_writer &writer)
{
    begin_object(writer, PAGES_OBJECT);
    put_text(writer, {"<< /Type /Pages /Kids ["});
    for (uint32_t i = 0; i < writer.pages; ++i)
        put_text(writer, {" ", std::to_string(page_object(i)), " 0 R"});
    put_text(writer, {" ] /Count ", std::to_string(writer.pages), " >>\nendobj\n"});
    begin_object(writer, CATALOG_OBJECT);
    put_text(writer, {"<< /Type /Catalog /Pages ", std::to_string(PAGES_OBJECT), " 0 R >>\nendobj\n"});
    const uint64_t xref = writer.written;
    const std::size_t objects = writer.offsets.size() + 1;
    put_text(writer, {"xref\n0 ", std::to_string(objects), "\n0000000000 65535 f \n"});
    // Every entry is 20 bytes, its end of line included.
    for (const uint64_t offset : writer.offsets) {
        char entry[32];
        std::snprintf(entry, sizeof entry, "%010llu 00000 n \n", static_cast<unsigned long long>(offset));
        put_text(writer, {entry});
    }
    put_text(writer, {"trailer\n<< /Size ", std::to_string(objects), " /Root ", std::to_string(CATALOG_OBJECT),
                      " 0 R >>\nstartxref\n", std::to_string(xref), "\n%%EOF\n"});
}

bool write_failed(const pdf_writer &writer, std::string &reason)
{
    if (writer.error == 0 && !writer.past_max)
        return false;
    if (writer.past_max)
        reason = "the PDF would pass " + std::to_string(writer.max_size) +
                 " bytes, more than its cross-reference table can address";
    else
        reason = std::string("cannot write the PDF file: ") + std::strerror(writer.error);
    return true;
}

}  // namespace

pdf_writer *pdf_open_writer(const output_file &out, std::string &reason, uint64_t max_size)
{
    auto *writer = new (std::nothrow) pdf_writer;
    if (writer == nullptr) {
        reason = "out of memory";
        return nullptr;
    }
    writer->stream = out.stream;
    writer->max_size = max_size;
    writer->offsets.resize(PAGES_OBJECT, 0);
    put_text(*writer, {PDF_HEADER});
    if (write_failed(*writer, reason)) {
        delete writer;
        return nullptr;
    }
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
    put_page(*writer, page);
    return !write_failed(*writer, reason);
}

bool pdf_close_writer(pdf_writer *writer, std::string &reason)
{
    put_end(*writer);
    const bool ok = !write_failed(*writer, reason);
    delete writer;
    return ok;
}

void pdf_discard_writer(pdf_writer *writer) { delete writer; }
