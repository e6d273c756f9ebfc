// Where a module's message goes: to the context's message function when it
// has one, else to the module's own streams, as it always printed them.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <initializer_list>

#include "util/message.h"

struct message_sink {
    tavrin_message_fn fn = nullptr;
    void *user = nullptr;
};

// `text` is written as it is, never used as a format.
void message_put(const message_sink &sink, std::initializer_list<FILE *> streams, const char *text);

// printf-style; the text is cut at 1023 bytes.
#if defined(__GNUC__)
__attribute__((format(printf, 3, 4)))
#endif
void message_printf(const message_sink &sink, FILE *stream, const char *format, ...);
