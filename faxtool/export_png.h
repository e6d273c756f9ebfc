// PNG pages: 1-bit grey with the physical resolution of the page.
#pragma once

#include <cstdio>
#include <string>

#include "faxtool/pages.h"

bool png_write_page(FILE *stream, const page_image &page, std::string &reason);
