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

// Legacy 2-D coding (the default) takes pixel 0 itself as b1 after a line
// that starts black, as the stored pages and this library's decoders do.
// Conforming coding follows T.4/T.6 (a0 starts on the imaginary white pixel
// before the line), for data that standard readers decode. MH is the same
// in both. The choice holds for every later coder call.
void enct4_set_conforming(int on);
int enct4_conforming(void);

}  // extern "C"
