// C escapes, as the tools show bytes to a person and read the bytes a person types: \r, \n, \t,
// \0, \\, \", \xHH. One place, so that the simulator's control language, the client's arguments
// and every byte the tools print read the same.
#ifndef TOOLS_COMMON_ESCAPES_H
#define TOOLS_COMMON_ESCAPES_H

#include <string>

namespace escapes {

enum class Shown {
    Bytes,  // every byte beyond ASCII escaped alone
    Text,   // UTF-8 characters as themselves, except what a terminal would act on
};

// Printable ASCII as itself; CR, LF, backslash and quote as \r, \n, \\, \"; every other byte
// as \xHH. As Text, characters beyond ASCII stay, unless they are no valid UTF-8, C1 controls or
// bidirectional controls (a terminal would obey them, or show the line in another order): their
// bytes are escaped too. Nothing printed this way can move the cursor or change the terminal.
std::string escape(const std::string& bytes, Shown shown = Shown::Bytes);

// The bytes that `text` stands for; false on an unknown or unfinished escape.
bool unescape(const std::string& text, std::string& bytes);

}  // namespace escapes

#endif
