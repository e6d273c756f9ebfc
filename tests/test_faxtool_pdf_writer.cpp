// The PDF writer in process: every cross-reference entry points at its
// object, and no document grows past what those entries can address.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "faxtool/export_pdf.h"

namespace {

// The document written to an unnamed file, read back whole.
struct written_pdf {
    bool ok = false;
    std::string reason;
    std::string bytes;
};

written_pdf write_pages(int pages, std::size_t page_size, uint64_t max_size)
{
    written_pdf result;
    output_file out;
    out.stream = std::tmpfile();
    if (out.stream == nullptr)
        return result;
    std::vector<uint8_t> data(page_size);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 37);
    pdf_writer *writer = pdf_open_writer(out, result.reason, max_size);
    result.ok = writer != nullptr;
    for (int p = 0; result.ok && p < pages; ++p) {
        const mmr_page page{1728, 100 + p, p % 2, data.data(), data.size()};
        result.ok = pdf_add_coded_page(writer, page, result.reason);
    }
    if (writer != nullptr)
        result.ok = result.ok ? pdf_close_writer(writer, result.reason) : (pdf_discard_writer(writer), false);
    std::fflush(out.stream);
    std::rewind(out.stream);
    char chunk[4096];
    for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, out.stream)) > 0;)
        result.bytes.append(chunk, got);
    std::fclose(out.stream);
    return result;
}

TEST(PdfWriter, CrossReferencePointsAtEveryObject)
{
    const written_pdf pdf = write_pages(5, 3000, PDF_MAX_SIZE);
    ASSERT_TRUE(pdf.ok) << pdf.reason;
    const std::string &b = pdf.bytes;
    ASSERT_EQ(b.rfind("%PDF-1.3\n%", 0), 0u);
    const std::size_t tail = b.rfind("startxref\n");
    ASSERT_NE(tail, std::string::npos);
    const std::size_t xref = std::strtoull(b.c_str() + tail + 10, nullptr, 10);
    ASSERT_EQ(b.compare(xref, 5, "xref\n"), 0);
    // Catalog, page tree, and three objects a page.
    const int objects = 2 + 3 * 5;
    const std::string head = "xref\n0 " + std::to_string(objects + 1) + "\n0000000000 65535 f \n";
    ASSERT_EQ(b.compare(xref, head.size(), head), 0);
    for (int n = 1; n <= objects; ++n) {
        const std::string entry = b.substr(xref + head.size() + 20 * static_cast<std::size_t>(n - 1), 20);
        ASSERT_EQ(entry.substr(10), " 00000 n \n") << n;
        const std::size_t at = std::strtoull(entry.c_str(), nullptr, 10);
        EXPECT_EQ(b.compare(at, std::to_string(n).size() + 7, std::to_string(n) + " 0 obj\n"), 0) << "object " << n;
    }
    EXPECT_NE(b.find("/Count 5 >>"), std::string::npos);
    EXPECT_NE(b.find("/Size " + std::to_string(objects + 1) + " /Root 1 0 R"), std::string::npos);
    EXPECT_EQ(b.substr(b.size() - 6), "%%EOF\n");
}

TEST(PdfWriter, StopsBeforeItsEntriesCouldNotAddressIt)
{
    // Enough room for the whole document, to the byte.
    const written_pdf whole = write_pages(3, 2000, PDF_MAX_SIZE);
    ASSERT_TRUE(whole.ok) << whole.reason;
    const written_pdf fits = write_pages(3, 2000, whole.bytes.size());
    EXPECT_TRUE(fits.ok) << fits.reason;
    EXPECT_EQ(fits.bytes, whole.bytes);
    // One byte less: a page or the end fails, said, and the document stops short.
    for (uint64_t limit : {uint64_t{whole.bytes.size() - 1}, uint64_t{3000}, uint64_t{10}}) {
        const written_pdf cut = write_pages(3, 2000, limit);
        EXPECT_FALSE(cut.ok) << limit;
        EXPECT_NE(cut.reason.find("cross-reference"), std::string::npos) << cut.reason;
        EXPECT_LE(cut.bytes.size(), limit);
    }
}

// A file system's own refusal (a file size limit gives EFBIG) is a write
// error, not the writer's own limit.
TEST(PdfWriter, SaysAFailedWriteAsIts)
{
    cookie_io_functions_t refuse{};
    refuse.write = [](void *, const char *, std::size_t) -> ssize_t {
        errno = EFBIG;
        return -1;
    };
    output_file out;
    out.stream = fopencookie(nullptr, "w", refuse);
    ASSERT_NE(out.stream, nullptr);
    std::string reason;
    pdf_writer *writer = pdf_open_writer(out, reason);
    ASSERT_NE(writer, nullptr) << reason;
    const std::vector<uint8_t> data(100000, 0x55);  // past any stream buffer
    EXPECT_FALSE(pdf_add_coded_page(writer, mmr_page{1728, 100, 1, data.data(), data.size()}, reason));
    pdf_discard_writer(writer);
    EXPECT_EQ(reason, "cannot write the PDF file: File too large");
    std::fclose(out.stream);
}

}  // namespace
