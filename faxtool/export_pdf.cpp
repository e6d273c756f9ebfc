// PDF export through qpdf's C interface, which reports failures as error
// states rather than exceptions: nothing is thrown across this unit.
#include "faxtool/export_pdf.h"

#include <qpdf/qpdf-c.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "faxtool/coding.h"
#include "t4/bitmanip.h"

struct pdf_writer {
    qpdf_data pdf = nullptr;
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
    if (qpdf_has_error(writer.pdf) == QPDF_FALSE)
        return false;
    qpdf_error error = qpdf_get_error(writer.pdf);
    const char *text = error != nullptr ? qpdf_get_error_full_text(writer.pdf, error) : nullptr;
    reason = text != nullptr ? text : "qpdf failed";
    return true;
}

qpdf_oh image_of(pdf_writer &writer, const page_image &page, std::vector<uint8_t> &coded)
{
    qpdf_data pdf = writer.pdf;
    // The CCITT filter reads each byte from its most significant bit; the
    // encoder fills bytes from bit 0, so every byte is mirrored.
    reverse_bits(coded.data(), static_cast<int>(coded.size()));
    const std::string width = std::to_string(page.width), rows = std::to_string(page.height);
    qpdf_oh image = qpdf_oh_new_stream(pdf);
    qpdf_oh dict = qpdf_oh_get_dict(pdf, image);
    for (const auto &[key, value] :
         {std::pair<const char *, std::string>{"/Type", "/XObject"}, {"/Subtype", "/Image"}, {"/Width", width},
          {"/Height", rows}, {"/ColorSpace", "/DeviceGray"}, {"/BitsPerComponent", "1"}})
        qpdf_oh_replace_key(pdf, dict, key, qpdf_oh_parse(pdf, value.c_str()));
    // BlackIs1 false: black comes out as 0, which DeviceGray shows black.
    const std::string parms = "<< /K -1 /Columns " + width + " /Rows " + rows + " /BlackIs1 false >>";
    qpdf_oh_replace_stream_data(pdf, image, coded.data(), coded.size(), qpdf_oh_parse(pdf, "/CCITTFaxDecode"),
                                qpdf_oh_parse(pdf, parms.c_str()));
    return image;
}

void add_page(pdf_writer &writer, const page_image &page, std::vector<uint8_t> &coded)
{
    qpdf_data pdf = writer.pdf;
    const dpi_pair dpi = resolution_dpi(page.resolution);
    const std::string w = points(static_cast<double>(page.width) / dpi.x);
    const std::string h = points(static_cast<double>(page.height) / dpi.y);
    const qpdf_oh image = image_of(writer, page, coded);
    const std::string drawing = "q " + w + " 0 0 " + h + " 0 0 cm /Im0 Do Q\n";
    const qpdf_oh contents = qpdf_oh_new_stream(pdf);
    qpdf_oh_replace_stream_data(pdf, contents, reinterpret_cast<const unsigned char *>(drawing.data()),
                                drawing.size(), qpdf_oh_new_null(pdf), qpdf_oh_new_null(pdf));
    const std::string text = "<< /Type /Page /MediaBox [0 0 " + w + " " + h + "] /Resources << /XObject << >> >> >>";
    const qpdf_oh dict = qpdf_oh_parse(pdf, text.c_str());
    qpdf_oh_replace_key(pdf, qpdf_oh_get_key(pdf, qpdf_oh_get_key(pdf, dict, "/Resources"), "/XObject"), "/Im0",
                        image);
    qpdf_oh_replace_key(pdf, dict, "/Contents", contents);
    qpdf_add_page(pdf, pdf, qpdf_make_indirect_object(pdf, dict), QPDF_FALSE);
    qpdf_oh_release_all(pdf);
}

}  // namespace

pdf_writer *pdf_open_writer(std::string &reason)
{
    auto *writer = new (std::nothrow) pdf_writer;
    if (writer == nullptr) {
        reason = "out of memory";
        return nullptr;
    }
    writer->pdf = qpdf_init();
    qpdf_silence_errors(writer->pdf);
    qpdf_set_suppress_warnings(writer->pdf, QPDF_TRUE);
    qpdf_empty_pdf(writer->pdf);
    if (take_error(*writer, reason)) {
        pdf_discard_writer(writer);
        return nullptr;
    }
    return writer;
}

bool pdf_add_page(pdf_writer *writer, const page_image &page, std::string &reason)
{
    std::vector<uint8_t> coded;
    if (!code_page_conforming_mmr(page, coded)) {
        reason = "the encoder failed";
        return false;
    }
    add_page(*writer, page, coded);
    return !take_error(*writer, reason);
}

bool pdf_close_writer(pdf_writer *writer, output_file &out, std::string &reason)
{
    qpdf_init_write_memory(writer->pdf);
    qpdf_write(writer->pdf);
    bool ok = !take_error(*writer, reason);
    if (ok) {
        const std::size_t length = qpdf_get_buffer_length(writer->pdf);
        const unsigned char *data = qpdf_get_buffer(writer->pdf);
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
    qpdf_cleanup(&writer->pdf);
    delete writer;
}
