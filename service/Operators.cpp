#include "service/Operators.h"

namespace operators {

std::set<std::string> parse(const std::string& text) {
    std::set<std::string> names;
    static const char* const blanks = " \t\r\f\v";
    std::size_t begin = 0;
    while (begin <= text.size()) {
        std::size_t end = text.find('\n', begin);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(begin, end - begin);
        std::size_t first = line.find_first_not_of(blanks);
        if (first != std::string::npos && line[first] != '#') {
            names.insert(line.substr(first, line.find_last_not_of(blanks) - first + 1));
        }
        begin = end + 1;
    }
    return names;
}

}  // namespace operators
