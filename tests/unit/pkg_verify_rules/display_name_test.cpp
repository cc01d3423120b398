// The package name as the stand-in's report shows it: a file name must not be
// able to add lines to the report.
#include <gtest/gtest.h>

#include <string>

#include "tools/pkgutil/check_signature.h"

namespace {

using pkgutil::display_name;

TEST(DisplayName, BaseNameOnly) {
    EXPECT_EQ(display_name("/tmp/a/b/helper.pkg"), "helper.pkg");
    EXPECT_EQ(display_name("helper.pkg"), "helper.pkg");
    EXPECT_EQ(display_name("/tmp/dir/"), "dir");
    EXPECT_EQ(display_name("/"), "/");
    EXPECT_EQ(display_name(""), "");
}

TEST(DisplayName, LineBreakingCharactersBecomeQuestionMarks) {
    EXPECT_EQ(display_name("a\nb.pkg"), "a?b.pkg");
    EXPECT_EQ(display_name("a\r\n1. x.pkg"), "a??1. x.pkg");
    EXPECT_EQ(display_name("a\vb\fc\td"), "a?b?c?d");
    EXPECT_EQ(display_name("a\xC2\x85"
                           "b"),
              "a?b");  // NEL
    EXPECT_EQ(display_name("a\xE2\x80\xA8"
                           "b"),
              "a?b");  // LINE SEPARATOR
    EXPECT_EQ(display_name("a\xE2\x80\xA9"
                           "b"),
              "a?b");  // PARAGRAPH SEPARATOR
    EXPECT_EQ(display_name(std::string("a\0b", 3)), "a?b");
    EXPECT_EQ(display_name("a\x7f"
                           "b"),
              "a?b");
}

TEST(DisplayName, KeepsOtherUnicodeAndRefusesMalformedBytes) {
    EXPECT_EQ(display_name("Pr\xC3\xBC"
                           "fung \xE2\x9C\x93.pkg"),
              "Pr\xC3\xBC"
              "fung \xE2\x9C\x93.pkg");
    EXPECT_EQ(display_name("\xF0\x9F\x93\xA6.pkg"), "\xF0\x9F\x93\xA6.pkg");
    EXPECT_EQ(display_name("a\xFF"
                           "b"),
              "a?b");
    EXPECT_EQ(display_name("a\xC0\x8A"
                           "b"),
              "a??b");  // overlong newline
    EXPECT_EQ(display_name("a\xED\xA0\x80"
                           "b"),
              "a???b");                           // surrogate
    EXPECT_EQ(display_name("a\xE2\x80"), "a??");  // truncated
}

}  // namespace
