// The view-namespace record and the load scopes on real engine files:
// scopes made, found by oid and by name (long names and names that hash
// alike included), listed, begun, marked removed and added again; the
// default scope known by its oid wherever it lies; what a scope loaded.

#include "lib/ostreladb/db_test_support.h"
#include "lib/ostreladb/ostrel_db_scope.h"
#include "lib/ostreladb/ostrel_db_vns.h"

namespace {

using db_test::at;
using db_test::oid_of;
using db_test::read_tx;
using db_test::text;
using db_test::uuid_of;
using db_test::write_tx;

struct Listed {
    std::string oid, name;
    unsigned gn;
    bool operator==(const Listed& o) const { return oid == o.oid && name == o.name && gn == o.gn; }
};

std::ostream& operator<<(std::ostream& out, const Listed& l) {
    return out << "{" << l.oid << " \"" << l.name << "\" gn " << l.gn << "}";
}

std::vector<Listed> listed(const std::vector<ostrel_scope>& scopes) {
    std::vector<Listed> out;
    for (const ostrel_scope& s : scopes) {
        EXPECT_TRUE(qel_oid_eq(&s.other_oid, &QEL_OID_NULL));
        out.push_back({text(s.scope_oid), s.pname, s.gn});
    }
    return out;
}

class DbScopes : public db_test::NewDbTest {
protected:
    std::vector<Listed> scopes(int include_removed) {
        std::vector<ostrel_scope> list;
        EXPECT_EQ(0, ostrel_db_get_lr_scopes(include_removed, list));
        return listed(list);
    }
    std::vector<Listed> removed() {
        std::vector<ostrel_scope> list;
        EXPECT_EQ(0, ostrel_db_get_lrs_for_delete(list));
        return listed(list);
    }
    vns_db_lr_scope record(const qel_oid_s& oid) { return db_test::scope_record(oid); }
    int by_name(const std::string& name, ostrel_scope* scope) { return ostrel_db_get_scope_by_name(name.c_str(), scope); }
};

TEST_F(DbScopes, TheViewRecordIsMadeOnceAndKeepsItsGenerationNumber) {
    unsigned gn = 99;
    EXPECT_EQ(QEL_ST_INTERNAL, ostrel_db_get_vns_view_gn(&gn)) << "no record yet";
    EXPECT_EQ(0u, gn);
    const qel_uuid_s view = uuid_of(7);
    ASSERT_EQ(0, ostrel_db_create_vns_view(&view, 4));
    ASSERT_EQ(0, ostrel_db_get_vns_view_gn(&gn));
    EXPECT_EQ(4u, gn);
    // Made again: only the number changes, and there is still one record.
    ASSERT_EQ(0, ostrel_db_create_vns_view(at(uuid_of(8)), 6));
    ASSERT_EQ(0, ostrel_db_set_vns_view_gn(11));
    ASSERT_EQ(0, ostrel_db_get_vns_view_gn(&gn));
    EXPECT_EQ(11u, gn);
    std::vector<vns_db_view> records;
    ASSERT_EQ(0, read_tx([&] {
        int st = dt_recfrst(VNS_DB_VIEW, &view_db_task, VDB);
        for (vns_db_view v; st == S_OKAY; st = dt_recnext(&view_db_task, VDB)) {
            dt_recread(&v, &view_db_task, VDB);
            records.push_back(v);
        }
        return 0;
    }));
    ASSERT_EQ(1u, records.size());
    EXPECT_TRUE(qel_uuid_eq(&view, &records[0].uuid));
    EXPECT_EQ(4u, records[0].initial_gn);
}

TEST_F(DbScopes, ScopesAreFoundListedBegunMarkedAndAddedAgain) {
    ASSERT_EQ(0, ostrel_db_create_def_scope());
    ASSERT_EQ(0, ostrel_db_create_def_scope()) << "once only";
    const std::string n54(54, 'q'), n55 = n54 + "r", n300 = std::string(299, 's') + "t";
    const qel_oid_s a = oid_of(1), b = oid_of(2), c = oid_of(3), d = oid_of(4);
    ASSERT_EQ(0, ostrel_db_create_lr_scope(&a, 1, "/vobs/a"));
    ASSERT_EQ(0, ostrel_db_create_lr_scope(&b, 3, n54.c_str()));
    ASSERT_EQ(0, ostrel_db_create_lr_scope(&c, 1, n55.c_str()));
    ASSERT_EQ(0, ostrel_db_create_lr_scope(&d, 2, n300.c_str()));
    EXPECT_EQ(0u, record(b).name_chain) << "54 bytes fit the record";
    EXPECT_NE(0u, record(c).name_chain);
    EXPECT_EQ(2u, record(b).completed_gn);

    const std::vector<Listed> all = {
        {text(a), "/vobs/a", 1}, {text(b), n54, 3}, {text(c), n55, 1}, {text(d), n300, 2}};
    EXPECT_EQ(all, scopes(0)) << "never the default scope";
    EXPECT_EQ(all, scopes(1));
    EXPECT_TRUE(removed().empty());
    unsigned gn = 0;
    ASSERT_EQ(0, ostrel_db_get_def_scope_gn(&gn));
    EXPECT_EQ(1u, gn);

    // By name, by oid; names not there.
    for (const Listed& l : all) {
        ostrel_scope s;
        ASSERT_EQ(0, by_name(l.name, &s)) << l.name;
        EXPECT_EQ(l, listed({s})[0]);
        ASSERT_EQ(0, ostrel_db_get_lr_scope_gn_name(l.name.c_str(), &gn));
        EXPECT_EQ(l.gn, gn);
    }
    ostrel_scope s;
    EXPECT_EQ(QEL_ST_NOT_FOUND, by_name("/vobs/b", &s));
    EXPECT_EQ(QEL_ST_NOT_FOUND, by_name(std::string(299, 's') + "u", &s)) << "differs in the chain only";
    EXPECT_EQ(QEL_ST_NOT_FOUND, by_name(n54.substr(1), &s));
    EXPECT_EQ(QEL_ST_NOT_FOUND, ostrel_db_get_lr_scope_gn(at(oid_of(9)), &gn));
    EXPECT_EQ(0u, gn);
    ASSERT_EQ(0, ostrel_db_get_lr_scope_gn(&d, &gn));
    EXPECT_EQ(2u, gn);

    // A load begins on c: it stays listed, at its new number.
    ASSERT_EQ(0, ostrel_db_begin_lr_scope_load(&c, 8));
    EXPECT_EQ(LR_SCOPE_IN_PROGRESS, record(c).state);
    EXPECT_EQ(7u, record(c).completed_gn);
    // b is marked removed: listed only when asked, and for deletion.
    ASSERT_EQ(0, ostrel_db_mark_lr_scope_for_delete(&b));
    EXPECT_EQ(QEL_ST_NOT_FOUND, ostrel_db_mark_lr_scope_for_delete(at(oid_of(9))));
    int flag = 0;
    ASSERT_EQ(0, read_tx([&] { return ostrela_db_get_lr_scope_removed_flag(&b, &flag); }));
    EXPECT_EQ(1, flag);
    const std::vector<Listed> now = {{text(a), "/vobs/a", 1}, {text(c), n55, 8}, {text(d), n300, 2}};
    EXPECT_EQ(now, scopes(0));
    EXPECT_EQ((std::vector<Listed>{{text(a), "/vobs/a", 1}, {text(b), n54, 3}, now[1], now[2]}), scopes(1));
    EXPECT_EQ((std::vector<Listed>{{text(b), n54, 3}}), removed());

    // The default scope is never marked; its begin leaves its state alone.
    ASSERT_EQ(0, ostrel_db_mark_lr_scope_for_delete(&AUTOMATIC_LOAD_SCOPE_OID));
    ASSERT_EQ(0, read_tx([&] { return ostrela_db_get_lr_scope_removed_flag(&AUTOMATIC_LOAD_SCOPE_OID, &flag); }));
    EXPECT_EQ(0, flag);
    ASSERT_EQ(0, ostrel_db_begin_def_scope(5));
    EXPECT_EQ(LR_SCOPE_IDLE, record(AUTOMATIC_LOAD_SCOPE_OID).state);
    EXPECT_EQ(4u, record(AUTOMATIC_LOAD_SCOPE_OID).completed_gn);
    ASSERT_EQ(0, ostrel_db_get_def_scope_gn(&gn));
    EXPECT_EQ(5u, gn);

    // b is added again (a load rule given back): it is no longer removed,
    // whatever the number, and keeps its name.
    ASSERT_EQ(0, ostrel_db_create_lr_scope(&b, 5, "another name"));
    EXPECT_EQ(LR_SCOPE_IDLE, record(b).state);
    EXPECT_EQ(4u, record(b).completed_gn);
    EXPECT_TRUE(removed().empty());
    ASSERT_EQ(0, by_name(n54, &s));
    EXPECT_EQ(5u, s.gn);
    EXPECT_EQ(QEL_ST_NOT_FOUND, by_name("another name", &s));
}

TEST_F(DbScopes, TheDefaultScopeIsKnownByItsOidNotItsPlace) {
    // A rebuilt database need not make the default scope first.
    const qel_oid_s a = oid_of(1), removed_one = oid_of(2);
    ASSERT_EQ(0, ostrel_db_create_lr_scope(&a, 1, "/vobs/a"));
    ASSERT_EQ(0, ostrel_db_create_lr_scope(&removed_one, 1, "/vobs/gone"));
    ASSERT_EQ(0, ostrel_db_mark_lr_scope_for_delete(&removed_one));
    ASSERT_EQ(0, ostrel_db_create_def_scope());
    EXPECT_EQ((std::vector<Listed>{{text(a), "/vobs/a", 1}}), scopes(0));
    EXPECT_EQ((std::vector<Listed>{{text(a), "/vobs/a", 1}, {text(removed_one), "/vobs/gone", 1}}), scopes(1));
    // Nothing but the default scope: nothing listed.
    ASSERT_EQ(0, write_tx([&] {
        for (const qel_oid_s* oid : {&a, &removed_one}) {
            uint32_t dbid = 0;
            int status = ostrela_db_lookup_lr_scope_oid(oid, &dbid);
            if (status == 0) status = dt_disdel(&view_db_task, VDB);
            if (status != 0) return status;
        }
        return 0;
    }));
    EXPECT_TRUE(scopes(1).empty());
}

TEST_F(DbScopes, LongNamesAndNamesThatHashAlikeAreToldApart) {
    // Names of equal length whose hashes agree and whose first 54 bytes are
    // the same: only the chain tells them apart.
    const std::string head(60, 'n');
    std::string first = head + "ab", second;
    for (char x = '!'; x <= '~' && second.empty(); ++x)
        for (char y = '!'; y <= '~' && second.empty(); ++y) {
            std::string candidate = head + x + y;
            if (candidate != first && ostrela_db_hash_name(candidate.c_str()) == ostrela_db_hash_name(first.c_str()))
                second = candidate;
        }
    ASSERT_FALSE(second.empty());
    const std::string third = head + "zz";
    ASSERT_EQ(0, ostrel_db_create_lr_scope(at(oid_of(1)), 1, first.c_str()));
    ASSERT_EQ(0, ostrel_db_create_lr_scope(at(oid_of(2)), 2, second.c_str()));
    ostrel_scope s;
    ASSERT_EQ(0, ostrel_db_get_scope_by_name(first.c_str(), &s));
    EXPECT_TRUE(qel_oid_eq(&s.scope_oid, at(oid_of(1))));
    ASSERT_EQ(0, ostrel_db_get_scope_by_name(second.c_str(), &s));
    EXPECT_TRUE(qel_oid_eq(&s.scope_oid, at(oid_of(2))));
    EXPECT_EQ(second, std::string(s.pname));
    EXPECT_EQ(QEL_ST_NOT_FOUND, ostrel_db_get_scope_by_name(third.c_str(), &s));

    // A name read back needs its length and a NUL.
    const std::string n55(55, 'm');
    ASSERT_EQ(0, ostrel_db_create_lr_scope(at(oid_of(3)), 1, n55.c_str()));
    for (size_t size : {55, 56}) {
        std::vector<char> buf(size);
        int status = read_tx([&] {
            uint32_t dbid = 0;
            vns_db_lr_scope rec;
            int st = ostrela_db_lookup_lr_scope_oid(at(oid_of(3)), &dbid);
            if (st == 0) st = dt_recread(&rec, &view_db_task, VDB);
            return st != 0 ? st : ostrela_db_get_lr_scope_name(dbid, &rec, size, buf.data());
        });
        EXPECT_EQ(size == 55 ? QEL_ST_TOO_LONG : 0, status) << size;
        if (status == 0) {
            EXPECT_EQ(n55, std::string(buf.data()));
        }
    }
}

TEST_F(DbScopes, WhatAScopeLoadedAndTheScopeOfAVersion) {
    ASSERT_EQ(0, ostrel_db_create_def_scope());
    const qel_oid_s rule = oid_of(50);
    ASSERT_EQ(0, ostrel_db_create_lr_scope(&rule, 3, "/vobs/a/src"));
    uint32_t vob_dbid = 0, other_dbid = 0;
    ASSERT_EQ(0, write_tx([&] { return ostrela_db_vob_create(at(uuid_of(1)), "h:/v/a", &vob_dbid); }));
    ASSERT_EQ(0, write_tx([&] { return ostrela_db_vob_create(at(uuid_of(2)), "h:/v/b", &other_dbid); }));
    db_test::Loaded vob(vob_dbid), other(other_dbid);

    int empty = 0;
    ASSERT_EQ(0, ostrel_db_is_lr_scope_empty(&rule, &empty));
    EXPECT_EQ(1, empty);
    empty = 0;
    EXPECT_EQ(QEL_ST_NOT_FOUND, ostrel_db_is_lr_scope_empty(at(oid_of(9)), &empty));
    EXPECT_EQ(1, empty);

    // A root directory in the default scope; two files under the rule's
    // scope, one in the other VOB; a version without element.
    uint32_t root_elem = vob.element(oid_of(100), 2);
    uint32_t root = vob.directory(oid_of(101), root_elem, 0);
    vob.entry(root, 0, "", AUTOMATIC_LOAD_SCOPE_OID, 1);
    uint32_t e1 = vob.element(oid_of(110)), v1 = vob.version(oid_of(111), e1);
    uint32_t other_root = other.directory(oid_of(102), other.element(oid_of(103), 2), 0);
    other.entry(other_root, 0, "", AUTOMATIC_LOAD_SCOPE_OID, 1);
    uint32_t e2 = other.element(oid_of(120)), v2 = other.version(oid_of(121), e2);
    uint32_t e3 = vob.element(oid_of(130)), v3 = vob.version(oid_of(131), e3);
    vob.entry(v1, root, "a.c", rule, 3);
    other.entry(v2, other_root, "b.c", rule, 3);
    vob.entry(v3, root, "c.c", rule, 3);

    ASSERT_EQ(0, ostrel_db_is_lr_scope_empty(&rule, &empty));
    EXPECT_EQ(0, empty);
    ASSERT_EQ(0, ostrel_db_is_def_scope_vob_empty(at(uuid_of(2)), &empty));
    EXPECT_EQ(0, empty) << "the VOB does not narrow it";

    std::vector<ostrelagent_scope_vers> vers = {{1, 1}};
    ASSERT_EQ(0, ostrel_db_scope_get_versions(&rule, vers));
    ASSERT_EQ(4u, vers.size()) << "appended";
    EXPECT_EQ(vob.vob(), vers[1].vob);
    EXPECT_EQ(v1, vers[1].ver);
    EXPECT_EQ(other.vob(), vers[2].vob);
    EXPECT_EQ(v2, vers[2].ver);
    EXPECT_EQ(v3, vers[3].ver);
    std::vector<ostrelagent_scope_elem> elems;
    ASSERT_EQ(0, ostrel_db_scope_get_elements(&rule, elems));
    ASSERT_EQ(3u, elems.size());
    const struct {
        qel_uuid_s uuid;
        qel_oid_s oid;
    } want[] = {{uuid_of(1), oid_of(110)}, {uuid_of(2), oid_of(120)}, {uuid_of(1), oid_of(130)}};
    for (size_t i = 0; i < elems.size(); ++i) {
        EXPECT_TRUE(qel_uuid_eq(&want[i].uuid, &elems[i].replica_uuid)) << i;
        EXPECT_TRUE(qel_oid_eq(&want[i].oid, &elems[i].elem_oid)) << i;
    }
    elems.clear();
    EXPECT_EQ(QEL_ST_NOT_FOUND, ostrel_db_scope_get_elements(at(oid_of(51)), elems));
    // A version whose element is gone ends the walk with what was found.
    uint32_t lone = vob.version(oid_of(140), 0);
    vob.entry(lone, root, "lone.c", rule, 3);
    EXPECT_EQ(QEL_ST_NOT_FOUND, ostrel_db_scope_get_elements(&rule, elems));
    EXPECT_EQ(3u, elems.size());

    // The scope of a version, by dbid and by oid.
    qel_oid_s scope{};
    unsigned gn = 0;
    ASSERT_EQ(0, ostrel_db_get_ver_scope(vob.vob(), v3, &scope, &gn));
    EXPECT_TRUE(qel_oid_eq(&rule, &scope));
    EXPECT_EQ(3u, gn);
    ASSERT_EQ(0, ostrel_db_get_ver_scope_oid(vob.vob(), at(oid_of(101)), &scope, &gn));
    EXPECT_TRUE(qel_oid_eq(&AUTOMATIC_LOAD_SCOPE_OID, &scope));
    EXPECT_EQ(1u, gn);
    const struct {
        uint32_t vob, ver;
        int status;
    } rows[] = {
        {0, v3, QEL_ST_NOT_FOUND},
        {vob.vob() & ~OSTREL_DB_DBID_BIT, v3, QEL_ST_INTERNAL},
        {other.vob(), v3, QEL_ST_NOT_FOUND},  // dbids count per VOB: the other has no v3
        {vob.vob(), e1, QEL_ST_NOT_FOUND},  // an element, named by no entry
    };
    for (const auto& r : rows)
        EXPECT_EQ(r.status, ostrel_db_get_ver_scope(r.vob, r.ver, &scope, &gn)) << r.vob << " " << r.ver;
    EXPECT_EQ(QEL_ST_NOT_FOUND, ostrel_db_get_ver_scope_oid(vob.vob(), at(oid_of(121)), &scope, &gn));
    EXPECT_EQ(QEL_ST_NOT_FOUND, ostrel_db_get_ver_scope_oid(0, at(oid_of(101)), &scope, &gn));
    EXPECT_EQ(QEL_ST_INTERNAL, ostrel_db_get_ver_scope_oid(5, at(oid_of(101)), &scope, &gn));
}

TEST_F(DbScopes, TheDefaultScopesVobMarksChangeNothing) {
    ASSERT_EQ(0, ostrel_db_create_def_scope());
    const vns_db_lr_scope before = record(AUTOMATIC_LOAD_SCOPE_OID);
    EXPECT_EQ(0, ostrel_db_begin_def_scope_vob_load(at(uuid_of(1)), 4));
    EXPECT_EQ(0, ostrel_db_end_def_scope_vob_load(at(uuid_of(1)), 4));
    EXPECT_EQ(0, ostrel_db_begin_def_scope_vob_update(at(uuid_of(1)), 5));
    EXPECT_EQ(0, ostrel_db_end_def_scope_vob_update(at(uuid_of(1)), 5));
    const vns_db_lr_scope after = record(AUTOMATIC_LOAD_SCOPE_OID);
    EXPECT_EQ(0, std::memcmp(&before, &after, sizeof before));
}

} // namespace
