#pragma once
// Catalog formatting and the consistency-check hook of the XML layer.

#include <string>

class NorvaneUtil {
public:
    // Longest formatted message (with its NUL); a longer one is "too long".
    static constexpr size_t FORMAT_BUFFER_SIZE = 153600;

    // The message at 0-based `index` of `catalog` (an _imsg_message_table_t)
    // formatted with the further arguments. Never fails: a message that
    // cannot be loaded, or that does not fit, gives an internal-error text.
    static std::string format(const void* catalog, int index, ...);

    // Consistency checks of the layer pass through here. A failed check is
    // not acted on: the layer carries on as if it held.
    static void norvane_assert(int condition, const char* file, int line, const char* text);
};
