// Marks the library's public functions: the shared library is built with
// hidden visibility, so only declarations carrying TAVRIN_API are exported.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
#define TAVRIN_API __attribute__((visibility("default")))
#else
#define TAVRIN_API
#endif
