// The header read from bytes in memory, for the fax file reader.
#pragma once

#include <cstddef>

#include "faxfile/fax_header.h"
#include "util/message_internal.h"

// As read_fax_header, over the first `size` bytes of a file; *pages_at is
// the offset of the first page. Messages begin with `who`.
fax_header *parse_fax_header(const unsigned char *bytes, std::size_t size, std::size_t *pages_at,
                             const message_sink &sink, const char *who);
