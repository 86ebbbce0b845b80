// The --operators file: which lines name an operator.
#include <gtest/gtest.h>

#include "service/Operators.h"

TEST(Operators, OneNameALineBlanksTrimmedCommentsAndEmptyLinesSkipped) {
    struct Case {
        std::string text;
        std::set<std::string> names;
    } cases[] = {
        {"", {}},
        {"anna\n", {"anna"}},
        {"anna\nbob", {"anna", "bob"}},
        {"  line 3 station  \r\n\tanna\t\n", {"line 3 station", "anna"}},
        {"# the shift leads\n\n   \n  # anna\nbob # shift lead\nline#3\n", {"bob", "line#3"}},
        {"\xEF\xBB\xBF"
         "anna\r\n",
         {"anna"}},
        {"anna\nanna\n", {"anna"}},
        {"Zoë\n", {"Zoë"}},
    };
    for (const auto& c : cases) EXPECT_EQ(operators::parse(c.text), c.names) << c.text;
}
