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
        {"# the shift leads\n\n   \n  # anna\nbob # not a comment\n", {"bob # not a comment"}},
        {"anna\nanna\n", {"anna"}},
        {"Zoë\n", {"Zoë"}},
    };
    for (const auto& c : cases) EXPECT_EQ(operators::parse(c.text), c.names) << c.text;
}
