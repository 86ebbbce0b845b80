#include "service/Operators.h"

namespace operators {

std::set<std::string> parse(const std::string& text) {
    std::set<std::string> names;
    static const char* const blanks = " \t\r\f\v";
    static const std::string byteOrderMark = "\xEF\xBB\xBF";
    std::size_t begin =
        text.compare(0, byteOrderMark.size(), byteOrderMark) == 0 ? byteOrderMark.size() : 0;
    while (begin <= text.size()) {
        std::size_t end = text.find('\n', begin);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(begin, end - begin);
        // "anna # shift lead" names anna, as the person who wrote it meant.
        for (std::size_t hash = line.find('#'); hash != std::string::npos;
             hash = line.find('#', hash + 1)) {
            if (hash == 0 || std::string(blanks).find(line[hash - 1]) != std::string::npos) {
                line.erase(hash);
                break;
            }
        }
        std::size_t first = line.find_first_not_of(blanks);
        if (first != std::string::npos) {
            names.insert(line.substr(first, line.find_last_not_of(blanks) - first + 1));
        }
        begin = end + 1;
    }
    return names;
}

}  // namespace operators
