// The token-batch encoder that the shipped one replaced, as the oracle of the
// differential tests: same callbacks, messages, words and results.
#pragma once

#include "t4/enct4.h"

namespace enct4ref {

// As enct4_g3_ctx, enct4_MMR_ctx and enct4_mh_ctx on a fresh context.
int g3(bool conforming, enct4_line_fn source, enct4_word_fn sink, void *user, int compression,
       int resolution);
int mmr(bool conforming, enct4_line_fn source, enct4_word_fn sink, void *user);
int mh(enct4_line_fn source, enct4_word_fn sink, void *user);

}  // namespace enct4ref
