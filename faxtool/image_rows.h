// What the image readers share: size limits and bilevel rows.
#pragma once

#include <cstdint>
#include <string>

#include "faxtool/pages.h"

// False with a reason for an empty image or one beyond what a fax page
// could ever hold, before anything is allocated for it.
bool size_acceptable(int64_t width, int64_t height, std::string &reason);
// A white image of the given size.
page_image blank_image(int32_t width, int32_t height);
void set_black(page_image &image, int32_t x, int32_t y);
