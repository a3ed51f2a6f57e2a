#pragma once
// Base64 with the standard alphabet (A-Z, a-z, 0-9, "+", "/"), "=" padding
// and no line breaks, over zero-terminated byte strings.

#include <memory>
#include <string>

class Base64 {
public:
    Base64() = delete;

    // The bytes of `bytes` before its first zero byte, encoded.
    static std::string encode(const char* bytes);

    // Decodes `text` up to its first "=" or its end. A blank reads as "+"
    // (a "+" that travelled unescaped through a form); other characters
    // outside the alphabet are skipped. Null when the text stops at an "="
    // where fewer than two characters of the last group were read. The
    // bytes are followed by a zero byte; a decoded zero byte therefore ends
    // the result early.
    static std::unique_ptr<char[]> decode(const char* text);
};
