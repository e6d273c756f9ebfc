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

// Coding on a context of one's own: contexts share nothing, so threads that
// each use their own code at once. The functions above work on one
// process-wide default context.
typedef struct enct4_context enct4_context;
enct4_context *enct4_context_new(void);  /* null when out of memory; codes the legacy way */
void enct4_context_free(enct4_context *ctx);
typedef int (*enct4_line_fn)(void *user, unsigned char **first_line, int *line_count);
typedef int (*enct4_word_fn)(void *user, const uint16_t *words, int word_count);
/* As enct4_set_conforming, for ctx alone. */
void enct4_context_set_conforming(enct4_context *ctx, int on);
/* As encode_g3_fax, enct4_MMR and encode_mh_fax, on ctx's own state; each
   callback gets `user`. */
int enct4_g3_ctx(enct4_context *ctx, enct4_line_fn source, enct4_word_fn sink, void *user,
                 int compression, int resolution);
int enct4_MMR_ctx(enct4_context *ctx, enct4_line_fn source, enct4_word_fn sink, void *user);
int enct4_mh_ctx(enct4_context *ctx, enct4_line_fn source, enct4_word_fn sink, void *user);

}  // extern "C"
