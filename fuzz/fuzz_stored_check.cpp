// Arbitrary bytes as an MMR page: the stored-page check of the TIFF and PDF
// exports, which keeps no rows, decides as export_page_mmr and gives its
// page, report and bytes. The first byte picks the resolution and row choice.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "faxfile/fax_header.h"
#include "faxtool/transcode.h"
#include "t4/t4dec.h"

namespace {

void quiet(void *, const char *) {}

bool same(const stored_mmr &checked, const page_image &page, const page_report &report,
          const std::vector<uint8_t> &coded)
{
    return checked.page.number == page.number && checked.page.width == page.width &&
           checked.page.height == page.height && checked.page.resolution == page.resolution &&
           checked.report.lines == report.lines && checked.report.concealed == report.concealed &&
           checked.report.clean == report.clean && checked.size == coded.size() &&
           (coded.empty() || std::memcmp(checked.data, coded.data(), coded.size()) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > (1u << 20))
        return 0;
    static t4dec_context *decoder = [] {
        t4dec_context *d = t4dec_context_new(T4_STANDARD_WIDTH);
        t4dec_context_set_messages(d, quiet, nullptr);
        return d;
    }();
    const std::vector<uint8_t> page_data(data + 1, data + size);  // exactly the page's bytes
    fax_document doc;
    doc.resolution = (data[0] & 1) != 0 ? RES_FINE : RES_NORMAL;
    doc.compression = COMP_MMR;
    doc.pages.push_back({0, static_cast<uint32_t>(page_data.size()), page_data.data()});
    const row_choice choice{(data[0] & 2) != 0, (data[0] & 4) != 0};
    page_image page;
    std::vector<uint8_t> coded;
    bool stored = false;
    page_report report;
    std::string reason;
    const bool ok = export_page_mmr(doc, 0, choice, page, coded, stored, report, reason);
    stored_mmr checked;
    const bool said = check_stored_mmr(decoder, doc, 0, choice, checked);
    if (said != (ok && stored) || (said && !same(checked, page, report, coded)))
        std::abort();
    return 0;
}
