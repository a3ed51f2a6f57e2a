#include "platform/korva/korva_fields.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(KorvaFields, ValuesRoundTripThroughOneLine) {
  const std::vector<std::string> values = {
      "plain", "", "two words", "100%", "line\nbreak", "tab\there", "/vobs/src", "%", "\x7f", "ü"};
  for (const std::string& v : values) {
    std::string field = korva::encodeField(v);
    EXPECT_EQ(std::string::npos, field.find_first_of(" \n\t")) << v;
    EXPECT_EQ(v, korva::decodeField(field).value_or("<malformed>")) << field;
  }
  std::string line = korva::joinFields(values);
  EXPECT_EQ(std::string::npos, line.find('\n'));
  EXPECT_EQ(values, korva::splitFields(line).value_or(std::vector<std::string>{}));
  EXPECT_EQ("my%20file.c", korva::encodeField("my file.c"));
}

TEST(KorvaFields, MalformedEscapesAreRefused) {
  for (const char* bad : {"%4", "%zz", "a%", "%%"}) {
    EXPECT_FALSE(korva::decodeField(bad).has_value()) << bad;
  }
  EXPECT_FALSE(korva::splitFields("ok %g0").has_value());
  EXPECT_EQ(std::vector<std::string>{}, korva::splitFields("   ").value());
}
