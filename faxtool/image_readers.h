// Readers for the images import takes: PBM (P1, P4, several images in a
// row), PNG (any depth, grey or colour, thresholded at 50 %) and TIFF
// (bilevel, every page, any compression libtiff decodes).
#pragma once

#include <string>
#include <vector>

#include "faxtool/pages.h"

// Appends the file's pages (width and height as stored, 1 for black). False
// with a reason when the file cannot be read as one of these images.
bool read_image_pages(const std::string &path, std::vector<page_image> &pages, std::string &reason);

// The PBM reader alone, over bytes in memory (also for the fuzz target).
bool read_pbm_pages(const std::vector<uint8_t> &data, std::vector<page_image> &pages,
                    std::string &reason);
