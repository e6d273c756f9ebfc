// Text splitting.
#pragma once

// Number of fields of text at separator (separators + 1; "" is one empty
// field). With out given, also stores one malloc'ed block there: a
// null-ended array of field pointers followed by a private copy of the text,
// cut at the separators, each field trimmed of surrounding white space.
// The caller releases the block with one free(). Returns -1 with errno
// EINVAL for a null text, or -1 when the block cannot be allocated.
int split_fields(const char *text, char separator, char ***out);
