// Raw PBM (P4) pages, one image after another as netpbm writes them.
#pragma once

#include <cstdio>
#include <string>

#include "faxtool/kept_text.h"
#include "faxtool/pages.h"

bool pbm_write_page(FILE *stream, const page_image &page, std::string &reason);
// The same bytes kept for later.
void pbm_keep_page(kept_text &text, const page_image &page);
