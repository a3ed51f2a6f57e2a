#pragma once
// Reads an update or restore log the way a tool would: the "#" title lines,
// the head's labelled values, the action lines in order and the tail's
// labelled values. Every line that does not have the log's layout (a label
// ending in a colon, padded with blanks to 24 characters, one blank, the
// value, a newline) is kept in `malformed`, so a test can insist there is
// none. Tests of the log itself and end-to-end tests of updates share it.

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lib/lib_test_support.h"

namespace update_log {

constexpr size_t kLabelWidth = 24;

// One labelled line.
struct Line {
    std::string label; // without its colon: "New", "Status"
    std::string value; // the text after the blank that follows the padded label
    // The value split at blanks; a field in double quotes is one field
    // (without the quotes); a value that ends in a blank has an empty last
    // field. Paths are never quoted, so a path with a blank spans fields:
    // compare `value` then.
    std::vector<std::string> fields;
};

// Label -> its values in the order of the file (most labels have one).
using Values = std::map<std::string, std::vector<std::string>>;

struct Log {
    std::vector<std::string> titles; // texts of the "#" lines that have one
    Values head;                     // labelled lines before "EndTime:"
    std::vector<Line> actions;       // action lines, in order
    Values tail;                     // labelled lines from "EndTime:" on
    std::vector<std::string> malformed;

    // The value of a label that occurs once; "" when it is missing (and a
    // failure when it occurs more than once).
    static std::string one(const Values& values, const std::string& label) {
        auto it = values.find(label);
        if (it == values.end()) return std::string();
        EXPECT_EQ(it->second.size(), 1u) << label;
        return it->second.front();
    }
    std::string head_value(const std::string& label) const { return one(head, label); }
    std::string tail_value(const std::string& label) const { return one(tail, label); }
};

inline bool is_action_label(const std::string& label) {
    static const std::set<std::string> actions = {
        "New",           "Updated",         "UnloadDeleted",     "UnloadPreserved", "UnloadRenamed",
        "HijackedPreserved", "HijackedDeleted", "HijackedRenamed", "Error"};
    return actions.count(label) != 0;
}

inline std::vector<std::string> split_fields(const std::string& value) {
    std::vector<std::string> fields;
    size_t at = 0;
    for (;;) {
        size_t end;
        if (at < value.size() && value[at] == '"') {
            size_t close = value.find('"', at + 1);
            if (close == std::string::npos) close = value.size();
            fields.push_back(value.substr(at + 1, close - at - 1));
            end = close + 1;
        } else {
            end = value.find(' ', at);
            if (end == std::string::npos) end = value.size();
            fields.push_back(value.substr(at, end - at));
        }
        if (end >= value.size()) break;
        at = end + 1; // past the blank; a blank at the end leaves an empty field
    }
    return fields;
}

// A labelled line without its newline, or false when `text` is not one.
inline bool parse_line(const std::string& text, Line& line) {
    const size_t label_end = text.find(' ');
    if (label_end == std::string::npos || label_end < 2 || text[label_end - 1] != ':' ||
        text[0] == '#') {
        return false;
    }
    const size_t value_start = std::max(label_end, kLabelWidth) + 1;
    if (text.size() < value_start) return false;
    for (size_t i = label_end; i < value_start; ++i) {
        if (text[i] != ' ') return false;
    }
    line.label = text.substr(0, label_end - 1);
    line.value = text.substr(value_start);
    line.fields = split_fields(line.value);
    return true;
}

inline Log parse(const std::string& text) {
    Log log;
    bool in_tail = false;
    for (const std::string& raw : lib_test::split_lines(text)) {
        if (raw.empty() || raw.back() != '\n') {
            log.malformed.push_back(raw);
            continue;
        }
        const std::string content = raw.substr(0, raw.size() - 1);
        if (!content.empty() && content[0] == '#') {
            if (content.size() > 1) log.titles.push_back(content.substr(1));
            continue;
        }
        Line line;
        if (!parse_line(content, line)) {
            log.malformed.push_back(raw);
            continue;
        }
        if (is_action_label(line.label)) {
            log.actions.push_back(line);
            continue;
        }
        if (line.label == "EndTime") in_tail = true;
        (in_tail ? log.tail : log.head)[line.label].push_back(line.value);
    }
    return log;
}

inline Log read(const std::string& path) { return parse(lib_test::read_file(path)); }

} // namespace update_log
