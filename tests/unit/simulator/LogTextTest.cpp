// Texts from outside (arguments, input) in the machine's log: UTF-8 as it is, anything else
// escaped so that the bytes can be told back.
#include <gtest/gtest.h>

#include <string>

#include "Simulator/Session.h"

namespace {

TEST(LogTextTest, EscapesWhatIsNotUtf8) {
    struct Case {
        std::string Text;
        std::string Logged;
    };
    const Case Cases[] = {
        {"/sn:abc", "/sn:abc"},
        {"fs0:\\x.dat", "fs0:\\x.dat"}, // valid text keeps its backslashes
        {"caf\xC3\xA9 \xF0\x9F\x98\x80", "caf\xC3\xA9 \xF0\x9F\x98\x80"},
        {"/sn:A\x80"
         "B",
         "/sn:A\\x80B"},
        {"x\xE9.dat", "x\\xE9.dat"},
        {"\xFF", "\\xFF"},
        {"\\\xFF", "\\\\\\xFF"},                      // a backslash beside an escape is doubled
        {"\xC0\xAF", "\\xC0\\xAF"},                   // overlong '/'
        {"\xED\xA0\x80", "\\xED\\xA0\\x80"},          // a UTF-16 surrogate
        {"\xF4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"}, // above U+10FFFF
        {"\xE2\x82", "\\xE2\\x82"},                   // cut short at the end
        {"\xE2\x82"
         "A\xC3\xA9",
         "\\xE2\\x82A\xC3\xA9"}, // cut short, then valid text
        {std::string("a\0b\x80", 4), std::string("a\0b\\x80", 7)},
    };
    for (const Case& C : Cases) {
        EXPECT_EQ(sim::LogText(C.Text), C.Logged) << C.Logged;
    }
}

} // namespace
