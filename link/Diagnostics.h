// Diagnostic lines on standard error: one write() per line, so that lines of different threads
// never interleave and nothing waits for the stdio lock.
#ifndef LINK_DIAGNOSTICS_H
#define LINK_DIAGNOSTICS_H

#include <unistd.h>

#include <string>

inline void diagnostic(const std::string& text) {
    std::string line = text + "\n";
    ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
    (void)ignored;
}

#endif
