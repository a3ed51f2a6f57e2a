// The argument text of a remote call: line format, escaping of line feeds,
// refused names, and the value forms.

#include "lib/client/rclient_request_args.h"

#include <climits>

#include <gtest/gtest.h>

namespace {

TEST(RequestArgs, LinesInOrderWithLineFeedsEscaped) {
    RClient_Request_Args args;
    EXPECT_EQ(args.get_args(), "");
    args.add_arg("ViewUuid", std::string("a\nb"));
    args.add_arg("Two", std::string("x\n\ny"));
    args.add_arg("Kept", std::string("%0A stays, and = % \r \xc3\xa9 pass"));
    args.add_arg("EndsInLf", std::string("v\n"));
    args.add_arg("Empty", std::string());
    args.add_arg("a=b", std::string("refused"));
    args.add_arg("", std::string("refused"));
    args.add_arg("Literal", "text");
    args.add_arg("True", true);
    args.add_arg("False", false);
    args.add_arg("Minus", -5);
    args.add_arg("LongMin", LONG_MIN);
    args.add_arg("Bare");
    args.add_arg("=");
    const std::string expected =
        "ViewUuid=a%0Ab\n"
        "Two=x%0A%0Ay\n"
        "Kept=%0A stays, and = % \r \xc3\xa9 pass\n"
        "EndsInLf=v%0A\n"
        "Empty=\n"
        "Literal=text\n"
        "True=1\n"
        "False=0\n"
        "Minus=-5\n"
        "LongMin=" + std::to_string(LONG_MIN) + "\n"
        "Bare\n";
    EXPECT_EQ(args.get_args(), expected);
    EXPECT_EQ(args.get_args(), expected) << "reading does not empty it";
}

TEST(RequestArgs, NameCheck) {
    EXPECT_TRUE(RClient_Request_Args::check_arg_name("ViewGn"));
    EXPECT_TRUE(RClient_Request_Args::check_arg_name("with space"));
    EXPECT_FALSE(RClient_Request_Args::check_arg_name(""));
    EXPECT_FALSE(RClient_Request_Args::check_arg_name("a=b"));
    EXPECT_FALSE(RClient_Request_Args::check_arg_name("="));
}

} // namespace
