// T.4 encoder: MH, MR (K = 2 or 4) and MMR coding of bitmap lines.
#pragma once

#include <cstdint>

extern "C" {

// Returns the byte length of each line and a batch of lines back to back;
// a negative result ends the lines.
typedef int (*line_source)(unsigned char **first_line, int *line_count);
// Receives code words (first bit of the stream in bit 0 of the first word);
// a negative result is a failure.
typedef int (*word_sink)(const uint16_t *words, int word_count);

int encode_g3_fax(line_source source, word_sink sink, int compression, int resolution);
int enct4_MMR(line_source source, word_sink sink);
int encode_mh_fax(line_source source, word_sink sink);

}  // extern "C"
