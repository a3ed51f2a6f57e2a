#pragma once
// String replacement behind the element tree's escaping.

#include <string>

class NorvaneStrUtil {
public:
    // Every occurrence of `pattern` in `text` replaced by `replacement`,
    // scanning left to right. Inserted replacements are never searched again,
    // so a replacement that holds the pattern ("&" by "&amp;") cannot loop.
    // An empty pattern leaves the text as it is.
    static std::string replace_all(std::string text, std::string pattern, std::string replacement);
};
