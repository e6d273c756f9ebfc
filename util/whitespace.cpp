// White-space helpers.
#include "util/whitespace.h"

#include <cstring>

[[maybe_unused]] static const char what_string[] = "@(#)|whitespace|9|01|2|0|0|07/26/99|14:47:50";

namespace {

bool is_white_or_quote(char c)
{
    return c == '"' || is_white_space(c);
}

}  // namespace

char *skip_white(char *text)
{
    if (!text)
        return nullptr;
    while (is_white_space(*text))
        ++text;
    return text;
}

void trim_white(char *text)
{
    if (!text)
        return;
    std::size_t length = std::strlen(text);
    while (length > 0 && is_white_space(text[length - 1]))
        text[--length] = '\0';
}

char *strip_white_and_quotes(char *text)
{
    if (!text)
        return nullptr;
    while (is_white_or_quote(*text))
        ++text;
    std::size_t length = std::strlen(text);
    while (length > 0 && is_white_or_quote(text[length - 1]))
        text[--length] = '\0';
    return text;
}
