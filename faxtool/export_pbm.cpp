// PBM export: P4 has the same bit layout as the page rows (1 black, MSB
// leftmost, rows padded to whole bytes).
#include "faxtool/export_pbm.h"

#include <cerrno>
#include <cstring>

bool pbm_write_page(FILE *stream, const page_image &page, std::string &reason)
{
    std::fprintf(stream, "P4\n%d %d\n", page.width, page.height);
    const std::size_t bytes = page.bits.size();
    if (std::fwrite(page.bits.data(), 1, bytes, stream) != bytes || std::ferror(stream) != 0) {
        reason = std::strerror(errno != 0 ? errno : EIO);
        return false;
    }
    return true;
}

void pbm_keep_page(kept_text &text, const page_image &page)
{
    char head[32];
    const int size = std::snprintf(head, sizeof head, "P4\n%d %d\n", page.width, page.height);
    kept_append(text, std::string_view(head, static_cast<std::size_t>(size)));
    kept_append(text, std::string_view(reinterpret_cast<const char *>(page.bits.data()), page.bits.size()));
}
