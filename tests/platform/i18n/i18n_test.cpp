// The internationalisation library: conversions between the locale's
// character set and UTF-8.

#include <gtest/gtest.h>

#include <clocale>
#include <string>

#include "platform/i18n/i18n.h"

namespace {

// Runs the test body under `locale` (LC_CTYPE) and puts the old one back.
class CtypeLocale {
public:
    explicit CtypeLocale(const char* locale) : old_(std::setlocale(LC_CTYPE, nullptr)) {
        ok_ = std::setlocale(LC_CTYPE, locale) != nullptr;
    }
    ~CtypeLocale() { std::setlocale(LC_CTYPE, old_.c_str()); }
    bool ok() const { return ok_; }

private:
    std::string old_;
    bool ok_ = false;
};

// The converted text and its length, or "<null>" when the conversion failed.
std::string convert(i18n_charset_t from, const std::string& text, i18n_charset_t to) {
    size_t length = 12345;
    char* out = i18n_iconv_easy(from, text.data(), text.size(), to, 0, &length);
    if (out == nullptr) return "<null>";
    std::string result(out);
    EXPECT_EQ(length, result.size()) << "the length counts up to the NUL";
    i18n_iconv_free(out);
    return result;
}

TEST(I18n, ConvertsBetweenTheLocaleAndUtf8) {
    i18n_charset_t local = i18n_charset_open_special(I18N_CHARSET_SPECIAL_LOCAL);
    i18n_charset_t utf8 = i18n_charset_open_special(I18N_CHARSET_SPECIAL_UTF8);
    ASSERT_NE(local, nullptr);
    ASSERT_NE(utf8, nullptr);
    EXPECT_EQ(i18n_charset_open_special(2), nullptr);
    EXPECT_EQ(i18n_charset_open_special(-1), nullptr);

    const std::string latin1_e_acute = "caf\xe9";
    const std::string utf8_e_acute = "caf\xc3\xa9";
    {
        CtypeLocale c("C");
        ASSERT_TRUE(c.ok());
        EXPECT_EQ(convert(local, "dom\\user:pw", utf8), "dom\\user:pw");
        EXPECT_EQ(convert(local, "", utf8), "");
        // A byte the locale's set does not have fails the conversion.
        EXPECT_EQ(convert(local, utf8_e_acute, utf8), "<null>");
        EXPECT_EQ(convert(nullptr, "x", utf8), "<null>");
        EXPECT_EQ(convert(local, "x", nullptr), "<null>");
    }
    // The set is looked up at each conversion, so it follows the locale.
    CtypeLocale utf8_locale("C.UTF-8");
    ASSERT_TRUE(utf8_locale.ok());
    EXPECT_EQ(convert(local, utf8_e_acute, utf8), utf8_e_acute);
    EXPECT_EQ(convert(local, latin1_e_acute, utf8), "<null>") << "not UTF-8";
    EXPECT_EQ(convert(utf8, "caf\xc3", local), "<null>") << "a cut UTF-8 sequence";
}

} // namespace
