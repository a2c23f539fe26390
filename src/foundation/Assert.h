// Checks that stay in every build, release builds included: a failed one is a
// programming error (a broken table, a call out of order) and stops the
// process at once, with the expression and its place on stderr.
#pragma once

#define TARVEL_ASSERT(expr) \
    ((expr) ? static_cast<void>(0) : ::TarvelAssertFailed(#expr, __FILE__, __LINE__, __func__))

// Writes "file:line: function: Assertion `expr' failed." and aborts.
[[noreturn]] void TarvelAssertFailed(const char* expr, const char* file, int line,
                                     const char* func);
