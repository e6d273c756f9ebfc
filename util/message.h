// Library messages through a callback. Each message is one line as the
// library prints it without one: "function: text\n", text in the C locale.
// A message function gets the user pointer given with it and the text, which
// is valid only during the call; it runs on the thread of the call that
// failed and must not call back into the context that reports.
#pragma once

#include "util/api.h"

extern "C" {

typedef void (*tavrin_message_fn)(void *user, const char *text);

}  // extern "C"
