/// \file
/// What a shared build of the library exports: the public API and nothing
/// else (everything else is compiled with hidden visibility).
#pragma once

#if defined(__GNUC__) || defined(__clang__)
/// Marks a class or function of the public API as exported from the shared
/// library.
#define PTYPILOT_API __attribute__((visibility("default")))
#else
#define PTYPILOT_API
#endif
