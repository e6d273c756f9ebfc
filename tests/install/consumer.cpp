// Built against an installed tavrin: opens a fax file, decodes its pages
// and prints what it found.
#include <tavrin/faxfile/fax_file.h>
#include <tavrin/t4/page_rows.h>

#include <cstdio>

int main(int argc, char **argv)
{
    fax_file_ptr fax(argc == 2 ? fax_file_open(argv[1], nullptr, nullptr) : nullptr);
    if (!fax)
        return 1;
    t4_rows_owner rows;
    for (std::size_t i = 0; i < fax->page_count; ++i) {
        t4dec_report report;
        if (t4_page_to_rows(nullptr, fax->pages[i].data, fax->pages[i].length, fax->decode_mode,
                            T4_ROWS_DECODER_LINES, 0,
                            &rows.value, &report) != T4_PAGE_OK)
            return 1;
        std::printf("page %zu: %d lines\n", i + 1, static_cast<int>(report.lines));
    }
    std::printf("%zu pages\n", fax->page_count);
    return 0;
}
