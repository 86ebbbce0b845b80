// The rule for web origins.
#include <gtest/gtest.h>

#include "service/OriginPolicy.h"

TEST(OriginPolicy, OnlyAnAllowedOriginMayCall) {
    OriginPolicy policy({"http://ui.example:8080", "https://[::1]"});
    struct Case {
        const char* origin;
        OriginPolicy::Decision decision;
    } cases[] = {
        {nullptr, OriginPolicy::NotFromABrowser},
        {"http://ui.example:8080", OriginPolicy::Allowed},
        {"HTTP://UI.Example:8080", OriginPolicy::Allowed},
        {"https://[::1]:443", OriginPolicy::Allowed},
        {"http://ui.example:8081", OriginPolicy::Refused},
        {"http://ui.example", OriginPolicy::Refused},
        {"https://ui.example:8080", OriginPolicy::Refused},
        {"http://evil.example", OriginPolicy::Refused},
        {"null", OriginPolicy::Refused},
        {"", OriginPolicy::Refused},
        {"http://ui.example:8080/", OriginPolicy::Refused},
        {"http://user@ui.example:8080", OriginPolicy::Refused},
        {"file://", OriginPolicy::Refused},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(policy.decide(c.origin), c.decision) << (c.origin ? c.origin : "(none)");
    }
    EXPECT_EQ(OriginPolicy().decide("http://ui.example:8080"), OriginPolicy::Refused);
    EXPECT_EQ(OriginPolicy({"http://ui"}).decide("http://ui:80"), OriginPolicy::Allowed);
}
