#pragma once
// Whole-database checks of the loaded element namespace for the view
// database's tests: every data and key file walked by the engine's own
// checks, every set chain of the namespace walked both ways, and every
// namespace record tied to what it must be tied to (an entry to its scope,
// its named object and its directory; each version, link and element to its
// object record; each byte string to a live owner). And a snapshot of every
// record, to show that a failed transaction changed nothing.

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "lib/ostreladb/db_test_support.h"
#include "lib/ostreladb/ostrel_db_vns.h"
#include "runtime/kesto_internal.h"
#include "runtime/kesto_test_support.h"

namespace db_test {

// Every record of `type`: its address and data part.
inline std::map<db_address, std::string> records_of(int type, size_t size) {
    std::map<db_address, std::string> out;
    int st = dt_recfrst(type, &view_db_task, VDB);
    for (; st == S_OKAY; st = dt_recnext(&view_db_task, VDB)) {
        db_address at = 0;
        std::string data(size, '\0');
        EXPECT_EQ(S_OKAY, dt_crget(&at, &view_db_task, VDB));
        EXPECT_EQ(S_OKAY, dt_recread(&data[0], &view_db_task, VDB));
        out[at] = data;
    }
    EXPECT_EQ(S_NOTFOUND, st);
    return out;
}

template <typename Rec>
std::map<db_address, Rec> images_of(int type) {
    std::map<db_address, Rec> out;
    for (const auto& [at, data] : records_of(type, sizeof(Rec))) {
        Rec rec;
        std::memcpy(&rec, data.data(), sizeof rec);
        out[at] = rec;
    }
    return out;
}

// Every record of the database's types, as bytes.
inline std::string snapshot() {
    std::string out;
    read_tx([&] {
        for (int type = DB_VOB; type <= VNS_DB_VIEW; ++type)
            for (const auto& [at, data] : records_of(type, 320))
                out += std::to_string(type) + ":" + std::to_string(at) + "=" + data + "\n";
        return 0;
    });
    return out;
}

// The members of `set` under each owner record of `owner_type`, as a map
// member -> owner, after checking every chain.
inline ::testing::AssertionResult owners_in(int set, int owner_type, std::map<db_address, db_address>* owner_of) {
    int st = dt_recfrst(owner_type, &view_db_task, VDB);
    for (; st == S_OKAY; st = dt_recnext(&view_db_task, VDB)) {
        db_address owner = 0;
        dt_crget(&owner, &view_db_task, VDB);
        std::vector<db_address> members;
        ::testing::AssertionResult chain = kesto_test::check_set(set, owner, &members);
        if (!chain) return chain << " (set " << set << ")";
        for (db_address m : members) (*owner_of)[m] = owner;
        dt_crset(&owner, &view_db_task, VDB);
    }
    return ::testing::AssertionSuccess();
}

// The whole check; `what` names the step in a failure.
inline ::testing::AssertionResult namespace_intact(const std::string& what) {
    ::testing::AssertionResult result = ::testing::AssertionSuccess();
    auto fail = [&](const std::string& why) {
        if (result) result = ::testing::AssertionFailure() << what << ": ";
        result << why << "; ";
    };
    read_tx([&] {
        db_address first = 0;
        dt_crget(&first, &view_db_task, VDB);  // makes the view's task the engine's current one
        task_switch(&view_db_task);
        for (int file = 0; file < 20; ++file)
            if (auto r = kesto_test::check_data_file(file); !r) fail(r.message());
        for (int file = 20; file < 32; ++file)
            if (auto r = kesto_test::check_key_file(file); !r) fail(r.message());

        std::map<db_address, db_address> dir_of, ver_of, slink_of, scope_of, elem_of;
        for (auto [set, type, map] : {std::tuple{DIR_VER_ENT_SET, VNS_DB_DIR_VER, &dir_of},
                                      {VER_DIR_ENT_SET, VNS_DB_VER, &ver_of},
                                      {SLINK_DIR_ENT_SET, VNS_DB_SLINK, &slink_of},
                                      {SCOPE_DIR_VER_ENT_SET, VNS_DB_LR_SCOPE, &scope_of},
                                      {ELEM_VER_SET, VNS_DB_ELEM, &elem_of}})
            if (auto r = owners_in(set, type, map); !r) fail(r.message());

        auto objs = images_of<vns_db_obj>(VNS_DB_OBJ);
        auto vers = images_of<vns_db_ver>(VNS_DB_VER);
        auto links = images_of<vns_db_slink>(VNS_DB_SLINK);
        auto elems = images_of<vns_db_elem>(VNS_DB_ELEM);
        auto dirs = images_of<vns_db_dir_ver>(VNS_DB_DIR_VER);
        auto ents = images_of<vns_db_dir_ver_ent>(VNS_DB_DIR_VER_ENT);
        auto scopes = images_of<vns_db_lr_scope>(VNS_DB_LR_SCOPE);
        std::map<std::pair<uint32_t, uint32_t>, uint32_t> kind_of;  // (VOB, dbid) -> kind of its object
        for (const auto& [at, o] : objs) kind_of[{o.vob_dba, o.dbid}] = o.mtype;
        std::map<std::pair<uint32_t, uint32_t>, db_address> ver_at, link_at, dir_at;
        for (const auto& [at, v] : vers) {
            ver_at[{v.vob_dba, v.dbid}] = at;
            if (kind_of.count({v.vob_dba, v.dbid}) == 0 || kind_of[{v.vob_dba, v.dbid}] != v.mtype)
                fail("version " + std::to_string(v.dbid) + " without its object");
            if (v.mtype == VNS_MTYPE_DIR_VER) {
                bool has_dir = false;
                for (const auto& [dat, d] : dirs) has_dir = has_dir || (d.vob_dba == v.vob_dba && d.dbid == v.dbid);
                if (!has_dir) fail("directory version " + std::to_string(v.dbid) + " without its directory record");
            }
        }
        for (const auto& [at, l] : links) {
            link_at[{l.vob_dba, l.dbid}] = at;
            if (kind_of[{l.vob_dba, l.dbid}] != VNS_MTYPE_SLINK) fail("link " + std::to_string(l.dbid) + " without its object");
        }
        for (const auto& [at, e] : elems)
            if (!vns_is_element(kind_of[{e.vob_dba, e.dbid}])) fail("element " + std::to_string(e.dbid) + " without its object");
        for (const auto& [at, d] : dirs) {
            dir_at[{d.vob_dba, d.dbid}] = at;
            if (ver_at.count({d.vob_dba, d.dbid}) == 0) fail("directory record " + std::to_string(d.dbid) + " without its version");
        }
        for (const auto& [at, o] : objs) {
            bool kept = vns_is_element(o.mtype) || (o.mtype == VNS_MTYPE_SLINK ? link_at.count({o.vob_dba, o.dbid}) != 0
                                                                                 : ver_at.count({o.vob_dba, o.dbid}) != 0);
            if (!kept) fail("object " + std::to_string(o.dbid) + " of kind " + std::to_string(o.mtype) + " alone");
        }
        for (const auto& [at, e] : ents) {
            std::string name = "entry '" + std::string(e.name, std::min<size_t>(e.name_len, 144)) + "'";
            auto named = e.mtype == VNS_MTYPE_SLINK ? link_at.find({e.vob_dba, e.ver}) : ver_at.find({e.vob_dba, e.ver});
            auto& named_of = e.mtype == VNS_MTYPE_SLINK ? slink_of : ver_of;
            if (named == (e.mtype == VNS_MTYPE_SLINK ? link_at.end() : ver_at.end()) || named_of[at] != named->second)
                fail(name + " not under the object it names");
            if (scopes.count(scope_of[at]) == 0 || !qel_oid_eq(&scopes[scope_of[at]].oid, &e.scope))
                fail(name + " not under its scope");
            if (e.parent == 0 ? dir_of.count(at) != 0 : dir_of[at] != dir_at[{e.vob_dba, e.parent}] || dir_of[at] == 0)
                fail(name + " not under its directory");
        }
        for (const auto& [set_map, what_set] : {std::pair{&dir_of, "directory"}, {&ver_of, "version"}, {&slink_of, "link"},
                                                 {&scope_of, "scope"}})
            for (const auto& [member, owner] : *set_map)
                if (ents.count(member) == 0) fail(std::string("a ") + what_set + " owns a record that is no entry");
        // Byte strings belong to live records.
        for (const auto& [at, b] : images_of<db_bytes>(DB_BYTES)) {
            db_address owner = b.owner_dba;
            if (ostrela_db_gone(owner, VNS_DB_DIR_VER_ENT) && ostrela_db_gone(owner, VNS_DB_SLINK) &&
                ostrela_db_gone(owner, VNS_DB_LR_SCOPE) && ostrela_db_gone(owner, DB_VOB) &&
                ostrela_db_gone(owner, DB_INODE) && ostrela_db_gone(owner, DB_DIR_ENT))
                fail("byte string " + std::to_string(at) + " whose owner is gone");
        }
        return 0;
    });
    return result;
}

}  // namespace db_test
