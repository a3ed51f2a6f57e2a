#include "xml/norvane_str_util.h"

std::string NorvaneStrUtil::replace_all(std::string text, std::string pattern,
                                        std::string replacement) {
    if (pattern.empty()) return text;
    size_t pos = text.find(pattern);
    while (pos != std::string::npos) {
        text.replace(pos, pattern.size(), replacement);
        pos = text.find(pattern, pos + replacement.size());
    }
    return text;
}
