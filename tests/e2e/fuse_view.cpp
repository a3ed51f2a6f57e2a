#include "fuse_view.h"

#include <cstdio>
#include <string>

namespace e2e {

namespace {

const char* const kMetadataRpc = "Ostrel_Norvane::getmetadata_rpc";
const char* const kDirectoryRpc = "Ostrel_Norvane::get_directory_contents_rpc";
const char* const kLookupRpc = "Ostrel_Norvane::lookup_rpc";
// What the server loads on demand goes to the automatic load scope, by
// default at the generation of a new view.
std::string scope_at(unsigned gn) {
    return R"({"scope_oid": "f0cf3574-a895-e311-0000-000000000000", "gn": )" + std::to_string(gn) + "}";
}
const std::string kScope = scope_at(1);

// The element kind of a version kind: a directory's or a file's.
unsigned element_kind(unsigned mtype) { return mtype == 3 ? 2 : 5; }

} // namespace

std::string served_oid(unsigned n) {
    char text[40];
    std::snprintf(text, sizeof text, "0e000000-0000-4000-8000-%012x", n);
    return text;
}

std::string served_vstat(unsigned n, unsigned mtype, unsigned elem, unsigned size) {
    const bool dir = mtype == 2 || mtype == 3;
    return R"({"fstat": {"type": )" + std::to_string(dir ? 2 : 1) + R"(, "mode": )" + std::to_string(dir ? 0755 : 0644) +
           R"(, "nlink": 1, "size": )" + std::to_string(size) + R"(}, "mtype": )" + std::to_string(mtype) +
           R"(, "obj_oid": ")" + served_oid(n) + R"(", "elem_oid": ")" + served_oid(elem != 0 ? elem : n) + R"("})";
}

std::string served_metadata(unsigned n, unsigned mtype, unsigned elem, unsigned size) {
    return R"({"metadata": {"scope": )" + std::string(kScope) + R"(, "obj": )" + served_vstat(n, mtype, elem, size) +
           R"(, "elem": )" + served_vstat(elem, element_kind(mtype)) + "}}";
}

std::string served_entry(const std::string& name, unsigned n, unsigned mtype, unsigned elem, unsigned size,
                         unsigned gn) {
    return R"({"dirent": {"name": ")" + name + R"(", "ver_oid": ")" + served_oid(n) + R"("}, "scope": )" + scope_at(gn) +
           R"(, "obj": )" + served_vstat(n, mtype, elem, size) + R"(, "elem": )" +
           served_vstat(elem, element_kind(mtype)) + "}";
}

namespace {

// A look-up of `name` in the VOB's root answers `metadata`, as the root's
// listing has it: the daemon asks by name when it has no listing yet.
std::string root_lookup(const std::string& name, const std::string& metadata) {
    return R"({"match": {"rpc": ")" + std::string(kLookupRpc) + R"(", "args": {"VersionOid": ")" + served_oid(11) +
           R"(", "LeafName": ")" + name + R"("}}, "reply": )" + metadata + "}";
}

} // namespace

std::string served_vob_rules(const Vob& vob) {
    return vobinfo_rule(vob) + R"(,
           {"match": {"rpc": ")" + kMetadataRpc + R"("}, "reply": )" + served_metadata(11, 3, 10) + R"(},
           {"match": {"rpc": ")" + kDirectoryRpc + R"(", "args": {"VersionOid": ")" + served_oid(11) + R"("}},
            "reply": {"directory": [)" + served_entry("README", 21, 6, 20, 42) + ", " +
           served_entry("docs", 31, 3, 30) + R"(]}},
           {"match": {"rpc": ")" + kDirectoryRpc + R"("}, "reply": {"directory": []}},
           )" + root_lookup("README", served_metadata(21, 6, 20, 42)) + ", " +
           root_lookup("docs", served_metadata(31, 3, 30)) + R"(,
           {"match": {"rpc": ")" + kLookupRpc + R"("}, "reply": {"status": {"code": 1052, "message": "no such name"}}})";
}

std::string vobinfo_rule(const Vob& vob) {
    return R"({"match": {"rpc": "Ostrel_Norvane::getvobinfo_rpc", "args": {"VobTag": ")" + vob.tag +
           R"("}}, "reply": {"vobinfo": {"VobFamilyUuid": ")" + vob.family + R"(", "VobReplicaUuid": ")" +
           vob.replica + R"(", "VobStorage": "host:/store/src.vbs", "IsPublic": "0", "IsProject": "0"}}})";
}

} // namespace e2e
