// Bytes written as numbers, for tests of the byte rules.
#ifndef TESTS_UNIT_BYTES_H
#define TESTS_UNIT_BYTES_H

#include <initializer_list>
#include <string>

inline std::string bytesOf(std::initializer_list<int> values) {
    std::string text;
    for (int v : values) text.push_back(static_cast<char>(v));
    return text;
}

#endif
