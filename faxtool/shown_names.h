// File names as faxtool shows them: in JSON, and in messages that reach a
// terminal. A name is bytes; neither may let it break the format it is in.
#pragma once

#include <string>
#include <string_view>

// A JSON string (with its quotes) that gives back the name's bytes: valid
// UTF-8 as itself, each byte that is not part of valid UTF-8 as the lone
// surrogate \udcXX (U+DC00 plus the byte), control characters as JSON
// escapes. No valid UTF-8 holds a surrogate, so the mapping is reversible.
std::string json_name(std::string_view name);

// Text for standard error with its control characters (C0, DEL, C1) and
// bytes that are not valid UTF-8 quoted as \n, \t, \r or \xHH, so that a
// name can neither split a message line nor send the terminal a sequence.
std::string terminal_text(std::string_view text);
