// White-space helpers over NUL-terminated texts, C locale: blank, tab,
// newline, vertical tab, form feed and carriage return.
#pragma once

inline bool is_white_space(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// First character of text that is not white space; null for a null text.
char *skip_white(char *text);
// Cuts trailing white space in place; a null text is left alone.
void trim_white(char *text);
// First character that is neither white space nor a double quote. Unless
// that is the end of the text, trailing white space and double quotes are
// cut in place. Null for a null text.
char *strip_white_and_quotes(char *text);
