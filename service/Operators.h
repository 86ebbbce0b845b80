// Who may move the tool when clients present certificates: the common names that --operators
// lists. Every other client with a valid certificate is an observer. Pure rules.
#ifndef SERVICE_OPERATORS_H
#define SERVICE_OPERATORS_H

#include <set>
#include <string>

namespace operators {

// The names in the text of an --operators file: one a line, leading and trailing blanks
// dropped; a '#' at the start of a line or after a blank begins a comment; empty lines are no
// names. A leading UTF-8 byte order mark (as some editors save) is no part of the first name.
std::set<std::string> parse(const std::string& text);

}  // namespace operators

#endif
