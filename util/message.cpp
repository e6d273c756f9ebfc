// Library messages: the callback when one is set, else the module's streams.
#include "util/message_internal.h"

#include <cstring>

void message_put(const message_sink &sink, std::initializer_list<FILE *> streams, const char *text)
{
    if (sink.fn != nullptr) {
        sink.fn(sink.user, text);
        return;
    }
    const std::size_t length = std::strlen(text);
    for (FILE *stream : streams)
        std::fwrite(text, 1, length, stream);
}

void message_printf(const message_sink &sink, FILE *stream, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    if (sink.fn == nullptr) {
        std::vfprintf(stream, format, args);
    } else {
        char text[1024];
        std::vsnprintf(text, sizeof text, format, args);
        sink.fn(sink.user, text);
    }
    va_end(args);
}
