// Raw PBM (P4) pages, one image after another as netpbm writes them.
#pragma once

#include <cstdio>
#include <string>

#include "faxtool/pages.h"

bool pbm_write_page(FILE *stream, const page_image &page, std::string &reason);
