// ostrelxdr_blob: encodes one of the server's reply records from JSON, for
// test servers that answer as the remote server does without knowing XDR.
//
//   ostrelxdr_blob vstat|scope|synceleminfo|dirent [FILE]
//   ostrelxdr_blob --batch [FILE]
//
// Reads one JSON object from FILE (default: standard input) and writes the
// record's encoding to standard output. With --batch, each line of the
// input is one record, ["KIND", {fields}], and each encoding goes out as a
// 4-byte big-endian length followed by its bytes, in the order of the
// lines (empty lines are passed over), so that a test server encodes
// thousands of records in one run; a failure names the line. Fields left out are zero or empty;
// a field the record does not have is an error. Ids are in their text form
// (36 hex digits and dashes), identities in theirs ("S-1-22-1-1000"), times
// as [seconds, microseconds]; numbers are unsigned, 32-bit except a size.
//
//   vstat         {"fstat": {"type", "mode", "nlink", "aux", "owner", "group",
//                  "size", "nodeid", "xtime", "atime", "mtime", "ctime"},
//                  "mtype", "elem_oid", "obj_oid", "event_time", "rmap_oid",
//                  "last_time", "checked_out" (true/false), "link_text"}
//   scope         {"scope_oid", "other_oid", "pname", "gn"}
//   synceleminfo  {"obj_pname", "parent_oid", "replica_uuid", "obj_oid",
//                  "prev_version", "cur_version"}
//   dirent        {"name", "ino", "off", "name_state", "rule", "obj_oid",
//                  "obj_mtype", "ver_oid", "ver_mtype", "flag" (true/false)}
//
// Exit status: 0 done; 1 a record does not encode; 2 a usage error, input
// that is not such a JSON object, or a field out of its range (a text longer
// than its field among them). A failed batch may have written the records
// before the failing one.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <limits>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/qel/qel.h"
#include "platform/stg/stg.h"
#include "tools/common/json_fields.h"
#include "xdr/ostrelxdr_blob.h"

namespace {

using json_fields::Fields;
using json_fields::read_fstat;
using nlohmann::json;

int encode_vstat(Fields& f, unsigned int* len, char** buf) {
    ostrel_vstat r;
    std::memset(&r, 0, sizeof r);
    read_fstat(f.object("fstat"), &r.vstat.fstat);
    r.vstat.mtype = f.word("mtype");
    f.id("elem_oid", &r.vstat.elem_oid, qel_str_to_oid);
    f.id("obj_oid", &r.vstat.obj_oid, qel_str_to_oid);
    f.time("event_time", &r.vstat.event_time.tv_sec, &r.vstat.event_time.tv_usec);
    f.id("rmap_oid", &r.vstat.rmap_oid, qel_str_to_oid);
    f.time("last_time", &r.vstat.last_time.tv_sec, &r.vstat.last_time.tv_usec);
    r.checked_out = f.flag("checked_out");
    f.text("link_text", r.link_text, sizeof r.link_text);
    f.finish();
    return ostrel_vstat_encode(&r, len, buf);
}

int encode_scope(Fields& f, unsigned int* len, char** buf) {
    ostrel_scope r;
    std::memset(&r, 0, sizeof r);
    f.id("scope_oid", &r.scope_oid, qel_str_to_oid);
    f.id("other_oid", &r.other_oid, qel_str_to_oid);
    f.text("pname", r.pname, sizeof r.pname);
    r.gn = f.word("gn");
    f.finish();
    return ostrel_scope_encode(&r, len, buf);
}

int encode_synceleminfo(Fields& f, unsigned int* len, char** buf) {
    ostrel_synceleminfo_t r;
    std::memset(&r, 0, sizeof r);
    f.text("obj_pname", r.obj_pname, sizeof r.obj_pname);
    f.id("parent_oid", &r.parent_oid, qel_str_to_oid);
    f.id("replica_uuid", &r.replica_uuid, qel_str_to_uuid);
    f.id("obj_oid", &r.obj_oid, qel_str_to_oid);
    f.text("prev_version", r.prev_version, sizeof r.prev_version);
    f.text("cur_version", r.cur_version, sizeof r.cur_version);
    f.finish();
    return ostrel_synceleminfo_encode(&r, len, buf);
}

int encode_dirent(Fields& f, unsigned int* len, char** buf) {
    ostrel_dirent_t r;
    std::memset(&r, 0, sizeof r);
    f.text("name", r.name, sizeof r.name);
    r.namlen = static_cast<uint16_t>(std::strlen(r.name));
    r.ino = f.word("ino");
    r.off = f.word("off");
    r.name_state = f.word("name_state");
    r.rule = f.word("rule");
    f.id("obj_oid", &r.obj_oid, qel_str_to_oid);
    r.obj_mtype = f.word("obj_mtype");
    f.id("ver_oid", &r.ver_oid, qel_str_to_oid);
    r.ver_mtype = f.word("ver_mtype");
    r.flag = f.flag("flag");
    f.finish();
    return ostrel_dirent_encode(&r, len, buf);
}

struct Record {
    const char* name;
    int (*encode)(Fields&, unsigned int*, char**);
};

const Record kRecords[] = {
    {"vstat", encode_vstat},
    {"scope", encode_scope},
    {"synceleminfo", encode_synceleminfo},
    {"dirent", encode_dirent},
};

int usage() {
    std::fprintf(stderr, "usage: ostrelxdr_blob vstat|scope|synceleminfo|dirent [FILE]\n"
                         "       ostrelxdr_blob --batch [FILE]\n");
    return 2;
}

const Record* find_record(const std::string& name) {
    for (const Record& r : kRecords) {
        if (name == r.name) return &r;
    }
    return nullptr;
}

// A record that does not encode (exit status 1); other failures are
// std::exception (exit status 2).
struct Encode_Failure {
    std::string message;
};

// The encoding of one record from its JSON object.
std::string encode(const Record& record, const json& object) {
    Fields fields(object, record.name);
    unsigned int len = 0;
    char* buf = nullptr;
    int status = record.encode(fields, &len, &buf);
    if (status != 0) {
        throw Encode_Failure{std::string("the ") + record.name + " record does not encode: " +
                             qel_strerror(status) + " (" + std::to_string(status) + ")"};
    }
    std::string bytes(buf, len);
    stg_free(buf);
    return bytes;
}

bool read_input(const char* path, std::string& input) {
    if (path == nullptr) {
        input.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
        return true;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "ostrelxdr_blob: cannot read %s: %s\n", path, std::strerror(errno));
        return false;
    }
    input.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return true;
}

bool write_out(const std::string& bytes) {
    if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size()) return true;
    std::fprintf(stderr, "ostrelxdr_blob: writing the record failed: %s\n", std::strerror(errno));
    return false;
}

int run_batch(const std::string& input) {
    std::istringstream lines(input);
    std::string line;
    for (unsigned long number = 1; std::getline(lines, line); ++number) {
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        const std::string where = "line " + std::to_string(number) + ": ";
        try {
            json entry = json::parse(line);
            if (!entry.is_array() || entry.size() != 2 || !entry[0].is_string())
                throw std::runtime_error("not [\"KIND\", {fields}]");
            const Record* record = find_record(entry[0].get<std::string>());
            if (record == nullptr) throw std::runtime_error("no record kind " + entry[0].dump());
            const std::string bytes = encode(*record, entry[1]);
            const uint32_t size = static_cast<uint32_t>(bytes.size());
            const char prefix[4] = {static_cast<char>(size >> 24), static_cast<char>(size >> 16),
                                    static_cast<char>(size >> 8), static_cast<char>(size)};
            if (!write_out(std::string(prefix, 4) + bytes)) return 2;
        } catch (const Encode_Failure& e) {
            std::fprintf(stderr, "ostrelxdr_blob: %s%s\n", where.c_str(), e.message.c_str());
            return 1;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "ostrelxdr_blob: %s%s\n", where.c_str(), e.what());
            return 2;
        }
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) return usage();
    const bool batch = std::strcmp(argv[1], "--batch") == 0;
    const Record* record = batch ? nullptr : find_record(argv[1]);
    if (!batch && record == nullptr) return usage();

    std::string input;
    if (!read_input(argc == 3 ? argv[2] : nullptr, input)) return 2;
    int status = 0;
    if (batch) {
        status = run_batch(input);
    } else {
        try {
            if (!write_out(encode(*record, json::parse(input)))) status = 2;
        } catch (const Encode_Failure& e) {
            std::fprintf(stderr, "ostrelxdr_blob: %s\n", e.message.c_str());
            return 1;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "ostrelxdr_blob: %s\n", e.what());
            return 2;
        }
    }
    if (std::fflush(stdout) != 0) {
        std::fprintf(stderr, "ostrelxdr_blob: writing the record failed: %s\n", std::strerror(errno));
        return 2;
    }
    return status;
}
