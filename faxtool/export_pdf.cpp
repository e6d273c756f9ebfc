// PDF export through qpdf, which may throw: every entry catches, so no
// exception leaves this unit.
#include "faxtool/export_pdf.h"

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFObjectHandle.hh>
#include <qpdf/QPDFWriter.hh>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <vector>

#include "faxtool/coding.h"
#include "t4/bitmanip.h"

struct pdf_writer {
    QPDF pdf;
    int pages = 0;
};

namespace {

std::string points(double inches)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.4f", inches * 72.0);
    return text;
}

QPDFObjectHandle image_of(QPDF &pdf, const page_image &page, const std::vector<uint8_t> &coded)
{
    // The CCITT filter reads each byte from its most significant bit; the
    // encoder fills bytes from bit 0, so every byte is mirrored.
    std::string data(coded.begin(), coded.end());
    reverse_bits(reinterpret_cast<unsigned char *>(data.data()), static_cast<int>(data.size()));
    const std::string width = std::to_string(page.width), rows = std::to_string(page.height);
    QPDFObjectHandle image = QPDFObjectHandle::newStream(&pdf);
    image.replaceDict(QPDFObjectHandle::parse(
        "<< /Type /XObject /Subtype /Image /Width " + width + " /Height " + rows +
        " /ColorSpace /DeviceGray /BitsPerComponent 1 >>"));
    // BlackIs1 false: black comes out as 0, which DeviceGray shows black.
    image.replaceStreamData(data, QPDFObjectHandle::parse("/CCITTFaxDecode"),
                            QPDFObjectHandle::parse("<< /K -1 /Columns " + width + " /Rows " + rows +
                                                    " /BlackIs1 false >>"));
    return image;
}

void add_page(pdf_writer &writer, const page_image &page, const std::vector<uint8_t> &coded)
{
    const dpi_pair dpi = resolution_dpi(page.resolution);
    const std::string w = points(static_cast<double>(page.width) / dpi.x);
    const std::string h = points(static_cast<double>(page.height) / dpi.y);
    QPDFObjectHandle image = image_of(writer.pdf, page, coded);
    QPDFObjectHandle contents =
        QPDFObjectHandle::newStream(&writer.pdf, "q " + w + " 0 0 " + h + " 0 0 cm /Im0 Do Q\n");
    QPDFObjectHandle xobjects = QPDFObjectHandle::newDictionary();
    xobjects.replaceKey("/Im0", image);
    QPDFObjectHandle resources = QPDFObjectHandle::newDictionary();
    resources.replaceKey("/XObject", xobjects);
    QPDFObjectHandle dict = QPDFObjectHandle::parse("<< /Type /Page /MediaBox [0 0 " + w + " " + h + "] >>");
    dict.replaceKey("/Resources", resources);
    dict.replaceKey("/Contents", contents);
    writer.pdf.addPage(writer.pdf.makeIndirectObject(dict), false);
}

}  // namespace

pdf_writer *pdf_open_writer(std::string &reason)
{
    try {
        std::unique_ptr<pdf_writer> writer(new pdf_writer);
        writer->pdf.emptyPDF();
        return writer.release();
    } catch (const std::exception &e) {
        reason = e.what();
        return nullptr;
    }
}

bool pdf_add_page(pdf_writer *writer, const page_image &page, std::string &reason)
{
    std::vector<uint8_t> coded;
    if (!code_page_conforming_mmr(page, coded)) {
        reason = "the encoder failed";
        return false;
    }
    try {
        add_page(*writer, page, coded);
        ++writer->pages;
        return true;
    } catch (const std::exception &e) {
        reason = e.what();
        return false;
    }
}

bool pdf_close_writer(pdf_writer *writer, output_file &out, std::string &reason)
{
    std::unique_ptr<pdf_writer> owner(writer);
    try {
        QPDFWriter w(writer->pdf);
        w.setOutputFile(out.path.c_str(), out.stream, false);
        errno = 0;
        w.write();
        if (std::fflush(out.stream) == 0 && std::ferror(out.stream) == 0)
            return true;
        reason = errno != 0 ? std::strerror(errno) : "cannot write the PDF file";
        return false;
    } catch (const std::exception &e) {
        reason = e.what();
        return false;
    }
}

void pdf_discard_writer(pdf_writer *writer)
{
    delete writer;
}
