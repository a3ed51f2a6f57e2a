#pragma once
// Reading records of the view protocol from JSON, for the tools that take
// them as text: ids in their text form (36 hex digits and dashes),
// identities in theirs ("S-1-22-1-1000"), times as [seconds, microseconds],
// unsigned numbers. A field left out is zero or empty; a field the record
// does not have, or one out of its range, throws std::runtime_error naming
// the field.

#include <rpc/xdr.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <set>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/qel/qel.h"
#include "platform/utl/credutl.h"

namespace json_fields {

using nlohmann::json;

// The fields of one JSON object, each read at most once; what is left over
// at the end is an error.
class Fields {
public:
    Fields(const json& object, std::string where) : object_(object), where_(std::move(where)) {
        if (!object_.is_object()) throw std::runtime_error(where_ + ": not a JSON object");
    }

    uint32_t word(const char* key) {
        return static_cast<uint32_t>(number(key, std::numeric_limits<uint32_t>::max()));
    }

    uint64_t hyper(const char* key) { return number(key, std::numeric_limits<uint64_t>::max()); }

    bool_t flag(const char* key) {
        const json* value = take(key);
        if (value == nullptr) return FALSE;
        if (!value->is_boolean()) fail(key, "not true or false");
        return value->get<bool>() ? TRUE : FALSE;
    }

    template <typename Id>
    void id(const char* key, Id* out, qel_status_t (*parse)(const char*, Id*)) {
        std::string text = string(key);
        if (!text.empty() && parse(text.c_str(), out) != 0) fail(key, "not an id: " + text);
    }

    void sid(const char* key, credutl_sid_t* out) {
        std::string text = string(key);
        if (!text.empty() && credutl_str_to_sid(text.c_str(), out) != 0) {
            fail(key, "not an identity: " + text);
        }
    }

    // [seconds, microseconds].
    template <typename Seconds, typename Micros>
    void time(const char* key, Seconds* sec, Micros* usec) {
        const json* value = take(key);
        if (value == nullptr) return;
        if (!value->is_array() || value->size() != 2 || !(*value)[0].is_number_unsigned() ||
            !(*value)[1].is_number_unsigned() ||
            (*value)[0].get<uint64_t>() > std::numeric_limits<uint32_t>::max() ||
            (*value)[1].get<uint64_t>() > std::numeric_limits<uint32_t>::max()) {
            fail(key, "not [seconds, microseconds] of 32 bits each");
        }
        *sec = static_cast<Seconds>((*value)[0].get<uint64_t>());
        *usec = static_cast<Micros>((*value)[1].get<uint64_t>());
    }

    // A text into a buffer of `size` bytes with its NUL.
    void text(const char* key, char* buf, size_t size) {
        std::string value = string(key);
        if (value.size() >= size) fail(key, "longer than " + std::to_string(size - 1) + " bytes");
        std::memcpy(buf, value.data(), value.size());
        buf[value.size()] = '\0';
    }

    bool has(const char* key) const { return object_.find(key) != object_.end(); }

    std::string string(const char* key) {
        const json* value = take(key);
        if (value == nullptr) return std::string();
        if (!value->is_string()) fail(key, "not a string");
        return value->get<std::string>();
    }

    Fields object(const char* key) {
        static const json empty = json::object();
        const json* value = take(key);
        return Fields(value != nullptr ? *value : empty, where_ + "." + key);
    }

    void finish() const {
        for (auto it = object_.begin(); it != object_.end(); ++it) {
            if (used_.count(it.key()) == 0) {
                throw std::runtime_error(where_ + ": no field \"" + it.key() + "\"");
            }
        }
    }

private:
    const json* take(const char* key) {
        used_.insert(key);
        auto it = object_.find(key);
        return it == object_.end() ? nullptr : &*it;
    }

    uint64_t number(const char* key, uint64_t max) {
        const json* value = take(key);
        if (value == nullptr) return 0;
        if (!value->is_number_unsigned() || value->get<uint64_t>() > max) {
            fail(key, "not an unsigned number up to " + std::to_string(max));
        }
        return value->get<uint64_t>();
    }

    [[noreturn]] void fail(const char* key, const std::string& why) const {
        throw std::runtime_error(where_ + "." + key + ": " + why);
    }

    const json& object_;
    std::string where_;
    std::set<std::string> used_;
};

inline void read_fstat(Fields f, qel_fstat_db_t* fstat) {
    fstat->type = f.word("type");
    fstat->mode = f.word("mode");
    fstat->nlink = f.word("nlink");
    fstat->aux = f.word("aux");
    f.sid("owner", &fstat->usid);
    f.sid("group", &fstat->gsid);
    fstat->size = f.hyper("size");
    fstat->nodeid = f.word("nodeid");
    f.time("xtime", &fstat->xtime.tv_sec, &fstat->xtime.tv_usec);
    f.time("atime", &fstat->atime.tv_sec, &fstat->atime.tv_usec);
    f.time("mtime", &fstat->mtime.tv_sec, &fstat->mtime.tv_usec);
    f.time("ctime", &fstat->ctime.tv_sec, &fstat->ctime.tv_usec);
    f.finish();
}

} // namespace json_fields
