// PDF export through qpdf's C interface, which reports failures as error
// states rather than exceptions: nothing is thrown across this unit.
#include "faxtool/export_pdf.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "faxtool/qpdf_library.h"

struct pdf_writer {
    const qpdf_library *api = nullptr;
    qpdf_data pdf = nullptr;
    std::vector<uint8_t> coded;     // a page coded here, reused
    std::vector<uint8_t> mirrored;  // the image data as the filter reads it, reused
};

namespace {

std::string points(double inches)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.4f", inches * 72.0);
    return text;
}

// The pending error as a reason; true when there was one.
bool take_error(pdf_writer &writer, std::string &reason)
{
    const qpdf_library &q = *writer.api;
    if (q.qpdf_has_error(writer.pdf) == QPDF_FALSE)
        return false;
    qpdf_error error = q.qpdf_get_error(writer.pdf);
    const char *text = error != nullptr ? q.qpdf_get_error_full_text(writer.pdf, error) : nullptr;
    reason = text != nullptr ? text : "qpdf failed";
    return true;
}

// Byte `b` with its bit order mirrored.
constexpr auto mirror_table = [] {
    std::array<uint8_t, 256> table{};
    for (unsigned b = 0; b < 256; ++b) {
        unsigned m = 0;
        for (int bit = 0; bit < 8; ++bit)
            m |= ((b >> bit) & 1u) << (7 - bit);
        table[b] = static_cast<uint8_t>(m);
    }
    return table;
}();

qpdf_oh image_of(pdf_writer &writer, const mmr_page &page)
{
    const qpdf_library &q = *writer.api;
    qpdf_data pdf = writer.pdf;
    // The CCITT filter reads each byte from its most significant bit; the
    // data has the first bit of the stream in bit 0, so every byte is mirrored.
    writer.mirrored.resize(page.size);
    for (std::size_t i = 0; i < page.size; ++i)
        writer.mirrored[i] = mirror_table[page.data[i]];
    const std::string width = std::to_string(page.width), rows = std::to_string(page.height);
    qpdf_oh image = q.qpdf_oh_new_stream(pdf);
    qpdf_oh dict = q.qpdf_oh_get_dict(pdf, image);
    for (const auto &[key, value] :
         {std::pair<const char *, std::string>{"/Type", "/XObject"}, {"/Subtype", "/Image"}, {"/Width", width},
          {"/Height", rows}, {"/ColorSpace", "/DeviceGray"}, {"/BitsPerComponent", "1"}})
        q.qpdf_oh_replace_key(pdf, dict, key, q.qpdf_oh_parse(pdf, value.c_str()));
    // BlackIs1 false: black comes out as 0, which DeviceGray shows black.
    const std::string parms = "<< /K -1 /Columns " + width + " /Rows " + rows + " /BlackIs1 false >>";
    q.qpdf_oh_replace_stream_data(pdf, image, writer.mirrored.data(), writer.mirrored.size(),
                                  q.qpdf_oh_parse(pdf, "/CCITTFaxDecode"), q.qpdf_oh_parse(pdf, parms.c_str()));
    return image;
}

void add_page(pdf_writer &writer, const mmr_page &page)
{
    const qpdf_library &q = *writer.api;
    qpdf_data pdf = writer.pdf;
    const dpi_pair dpi = resolution_dpi(page.resolution);
    const std::string w = points(static_cast<double>(page.width) / dpi.x);
    const std::string h = points(static_cast<double>(page.height) / dpi.y);
    const qpdf_oh image = image_of(writer, page);
    const std::string drawing = "q " + w + " 0 0 " + h + " 0 0 cm /Im0 Do Q\n";
    const qpdf_oh contents = q.qpdf_oh_new_stream(pdf);
    q.qpdf_oh_replace_stream_data(pdf, contents, reinterpret_cast<const unsigned char *>(drawing.data()),
                                  drawing.size(), q.qpdf_oh_new_null(pdf), q.qpdf_oh_new_null(pdf));
    const std::string text = "<< /Type /Page /MediaBox [0 0 " + w + " " + h + "] /Resources << /XObject << >> >> >>";
    const qpdf_oh dict = q.qpdf_oh_parse(pdf, text.c_str());
    q.qpdf_oh_replace_key(pdf, q.qpdf_oh_get_key(pdf, q.qpdf_oh_get_key(pdf, dict, "/Resources"), "/XObject"),
                          "/Im0", image);
    q.qpdf_oh_replace_key(pdf, dict, "/Contents", contents);
    q.qpdf_add_page(pdf, pdf, q.qpdf_make_indirect_object(pdf, dict), QPDF_FALSE);
    q.qpdf_oh_release_all(pdf);
}

}  // namespace

pdf_writer *pdf_open_writer(std::string &reason)
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
    writer->pdf = api->qpdf_init();
    api->qpdf_silence_errors(writer->pdf);
    api->qpdf_set_suppress_warnings(writer->pdf, QPDF_TRUE);
    api->qpdf_empty_pdf(writer->pdf);
    if (take_error(*writer, reason)) {
        pdf_discard_writer(writer);
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
    add_page(*writer, page);
    return !take_error(*writer, reason);
}

bool pdf_close_writer(pdf_writer *writer, output_file &out, std::string &reason)
{
    const qpdf_library &q = *writer->api;
    const auto write = [&] {
        q.qpdf_init_write_memory(writer->pdf);
        // The same pages make the same bytes, whenever and however often written.
        q.qpdf_set_deterministic_ID(writer->pdf, QPDF_TRUE);
        q.qpdf_write(writer->pdf);
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
    bool ok = !take_error(*writer, reason);
    if (ok) {
        const std::size_t length = q.qpdf_get_buffer_length(writer->pdf);
        const unsigned char *data = q.qpdf_get_buffer(writer->pdf);
        errno = 0;
        ok = data != nullptr && std::fwrite(data, 1, length, out.stream) == length &&
             std::fflush(out.stream) == 0 && std::ferror(out.stream) == 0;
        if (!ok)
            reason = errno != 0 ? std::strerror(errno) : "cannot write the PDF file";
    }
    pdf_discard_writer(writer);
    return ok;
}

void pdf_discard_writer(pdf_writer *writer)
{
    if (writer == nullptr)
        return;
    writer->api->qpdf_cleanup(&writer->pdf);
    delete writer;
}
