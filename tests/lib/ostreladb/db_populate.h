#pragma once
// A view database with something of every kind in it, for tests that dump,
// rebuild or recover a database and compare what it holds before and after
// (db_content.h): VOBs (one with a long text and its flag set), cover and
// view-private inodes with containers, long names and texts and long
// identities, hijacked, kept and detached names, config records that use
// each other (one whose derived object has no inode), the view record, the
// default, a load-rule (long name), a removed and a busy scope, and a loaded
// tree with a root, directories named twice, stale versions, names not
// valid, listed and saved directories, a checked-out element, an element
// without versions, links with long texts and names longer than a record
// holds.
//
// Every step runs through the view database's own operations in write
// transactions; the current directory is the view storage, whose database
// is open.

#include <sys/time.h>

#include <string>

#include <gtest/gtest.h>

#include "lib/lib_test_support.h"
#include "lib/ostreladb/db_test_support.h"
#include "lib/ostreladb/ostrel_db_scope.h"
#include "lib/ostreladb/ostrel_db_vns.h"

namespace db_test {

inline const qel_oid_s POPULATED_RULE = oid_of(0xA0001);
inline const qel_oid_s POPULATED_REMOVED_RULE = oid_of(0xA0002);
inline const qel_oid_s POPULATED_BUSY_RULE = oid_of(0xA0003);

class Populator {
public:
    // Fills the database; `loaded` more files in the loaded tree's biggest
    // directory (for a bigger transaction).
    void run(unsigned loaded = 0) {
        vobs();
        private_files();
        config_records();
        scopes();
        tree(loaded);
    }

    uint32_t vob_a = 0, vob_b = 0;

private:
    static qel_fstat_db_s status(uint32_t type, uint32_t mode, uint64_t size) {
        qel_fstat_db_s f{};
        f.type = type;
        f.mode = mode;
        f.size = size;
        credutl_uid_to_sid(1234, &f.usid);
        credutl_gid_to_sid(5678, &f.gsid);
        f.atime = {1700000001, 11};
        f.mtime = {1700000002, 22};
        f.ctime = {1700000003, 33};
        f.xtime = {7, 8};
        return f;
    }

    void vobs() {
        std::string long_text = "host-b:/" + std::string(300, 'v');
        ASSERT_EQ(0, write_tx([&] {
            int st = ostrela_db_vob_create(at(uuid_of(1)), "host-a:/vobs/a", &vob_a);
            if (st == 0) st = ostrela_db_vob_create(at(uuid_of(2)), long_text.c_str(), &vob_b);
            if (st == 0) st = ostrela_db_vob_set_setwork_flag(vob_b, 1);
            return st;
        }));
    }

    // An inode of VOB `vob` (a directory gets its directory part) with a
    // container holding `content` when `container` is given.
    uint32_t inode(uint32_t vob, unsigned n, uint32_t kind, qel_fstat_db_s f, const std::string& container = "",
                   const std::string& content = "") {
        uint32_t dbid = 0;
        EXPECT_EQ(0, write_tx([&] {
            int st = ostrela_db_inode_create(vob, at(oid_of(n)), &f, kind, &dbid, nullptr);
            if (st == 0 && f.type == QEL_FTYPE_DIR) st = ostrela_db_dir_create(dbid);
            if (st == 0 && !container.empty()) st = ostrela_db_inode_write_text(dbid, container.c_str());
            return st;
        }));
        if (!container.empty() && f.type != QEL_FTYPE_LNK)
            lib_test::write_file(std::string(OSTREL_STORAGE_POOL) + "/" + container, content);
        return dbid;
    }

    void private_files() {
        qel_fstat_db_s cover{};
        cover.type = QEL_FTYPE_DIR;
        cover.mode = 0xFFFFFFFFu;
        cover.usid = cover.gsid = CREDUTL_SID_DONTCARE;
        uint32_t root = inode(vob_a, 100, 2, cover);
        qel_fstat_db_s private_dir = status(QEL_FTYPE_DIR, 0755, 89);
        private_dir.nlink = 1;  // as a directory made in the view starts
        uint32_t sub = inode(vob_a, 101, 0x13, private_dir);
        qel_fstat_db_s long_ids = status(QEL_FTYPE_REG, 0644, 5);
        // Six sub-identifiers: more than a record holds inline.
        const uint32_t subs[6] = {1, 2, 3, 4, 5, 6};
        long_ids.usid = credutl_sid_t{{1, 6, 0, 0, 0, 0, 0, 22}};
        for (int i = 0; i < 6; ++i) long_ids.usid.bytes[8 + 4 * i + 3] = static_cast<unsigned char>(subs[i]);
        uint32_t file = inode(vob_a, 102, 0x13, long_ids, "00001/a.txt", "hello");
        uint32_t deep = inode(vob_a, 103, 0x16, status(QEL_FTYPE_REG, 0600, 3), "00002/" + std::string(90, 'c'), "abc");
        uint32_t link = inode(vob_a, 104, 0x13, status(QEL_FTYPE_LNK, 0777, 100), std::string(100, 't'));
        qel_fstat_db_s cover_file = cover;
        cover_file.type = QEL_FTYPE_REG;
        uint32_t hijacked = inode(vob_a, 105, 5, cover_file);
        uint32_t derived = inode(vob_a, 106, 0x15, status(QEL_FTYPE_REG, 0644, 2), "00003/o", "do");
        uint32_t derived2 = inode(vob_b, 107, 0x17, status(QEL_FTYPE_REG, 0644, 2), "00004/o2", "d2");
        uint32_t other_root = inode(vob_b, 108, 2, cover);
        EXPECT_EQ(0, link_name(root, "sub", sub, DIR_ENT_STATE_VIEW, nullptr, nullptr, 1));
        EXPECT_EQ(0, link_name(root, "a.txt", file, DIR_ENT_STATE_VIEW, nullptr, nullptr, 1));
        EXPECT_EQ(0, link_name(sub, std::string(40, 'n'), deep, 0, nullptr, nullptr, 1));
        EXPECT_EQ(0, link_name(sub, "ln", link, 0, nullptr, nullptr, 1));
        EXPECT_EQ(0, link_name(root, "h.c", hijacked, DIR_ENT_STATE_HIJACKED | DIR_ENT_STATE_KEEP, nullptr, nullptr, 1));
        EXPECT_EQ(0, write_tx([&] { return ostrela_db_hijack(root, "h.c", at(oid_of(900)), at(oid_of(901))); }));
        EXPECT_EQ(0, link_name(root, "kept", 0, DIR_ENT_STATE_KEEP, nullptr, nullptr, 1));
        EXPECT_EQ(0, link_name(root, "detached", 0, DIR_ENT_STATE_DETACHED, nullptr, nullptr, 1));
        EXPECT_EQ(0, link_name(root, "o", derived, 0, nullptr, nullptr, 1));
        EXPECT_EQ(0, link_name(other_root, "o2", derived2, 0, nullptr, nullptr, 1));
    }

    // Record C (its derived object has no inode) is used by A, A by B.
    void config_records() {
        auto save = [](unsigned do_oid, unsigned vob, const std::vector<qel_oid_s>& used, const std::string& text) {
            _qel_cr_compressed_t* cr = nullptr;
            EXPECT_EQ(0, qel_cr_vx_to_cr_compressed(0x100 + do_oid, text.data(), text.size(), &cr));
            EXPECT_EQ(0, write_tx([&] {
                int st = ostrela_db_cr_create(at(oid_of(do_oid)), at(uuid_of(vob)), 1, used.data(),
                                              static_cast<int>(used.size()), cr, 0, 1);
                if (st == 0) st = ostrela_db_cr_add_vob_ref(at(oid_of(do_oid)), 1, at(uuid_of(vob)));
                return st;
            }));
            ostrela_db_cr_free(cr);
        };
        save(110, 1, {}, "record C");
        save(106, 1, {oid_of(110)}, std::string("record A\0with a NUL", 19));
        save(107, 2, {oid_of(106), oid_of(110)}, "record B");
    }

    void scopes() {
        ASSERT_EQ(0, ostrel_db_create_vns_view(at(uuid_of(99)), 5));
        ASSERT_EQ(0, ostrel_db_set_vns_view_gn(7));
        ASSERT_EQ(0, ostrel_db_create_def_scope());
        ASSERT_EQ(0, ostrel_db_begin_def_scope(3));
        ASSERT_EQ(0, ostrel_db_create_lr_scope(&POPULATED_RULE, 4, ("/vobs/a/" + std::string(60, 's')).c_str()));
        ASSERT_EQ(0, ostrel_db_create_lr_scope(&POPULATED_REMOVED_RULE, 2, "/vobs/a/gone"));
        ASSERT_EQ(0, ostrel_db_mark_lr_scope_for_delete(&POPULATED_REMOVED_RULE));
        ASSERT_EQ(0, ostrel_db_create_lr_scope(&POPULATED_BUSY_RULE, 2, "/vobs/b"));
        ASSERT_EQ(0, ostrel_db_begin_lr_scope_update(&POPULATED_BUSY_RULE, 6));
    }


    uint32_t element(uint32_t vob, unsigned n, uint32_t kind, int checked_out = 0) {
        uint32_t dbid = 0;
        struct timeval when = {1700000000 + static_cast<int>(n), static_cast<int>(n)};
        qel_fstat_db_s f = loaded_fstat(kind == VNS_MTYPE_DIR_ELEM ? QEL_FTYPE_DIR : QEL_FTYPE_REG, 0);
        EXPECT_EQ(0, ostrel_db_create_element(vob, at(oid_of(n)), &when, &f, kind, checked_out, &dbid));
        return dbid;
    }
    uint32_t version(uint32_t vob, uint32_t parent, unsigned elem, unsigned n, uint32_t kind, const std::string& name,
                     const qel_oid_s& scope, uint32_t gn) {
        uint32_t dbid = 0;
        struct timeval when = {1600000000 + static_cast<int>(n), 5};
        qel_fstat_db_s f = loaded_fstat(kind == VNS_MTYPE_DIR_VER ? QEL_FTYPE_DIR : QEL_FTYPE_REG, 1000 + n);
        EXPECT_EQ(0, ostrel_db_create_version(vob, parent, at(oid_of(n)), at(oid_of(elem)), kind, &when, name.c_str(),
                                              &f, &scope, gn, 0, &dbid, nullptr, nullptr))
            << name;
        return dbid;
    }

    void tree(unsigned more) {
        const qel_oid_s& def = AUTOMATIC_LOAD_SCOPE_OID;
        element(vob_a, 1, VNS_MTYPE_DIR_ELEM);
        element(vob_a, 2, VNS_MTYPE_DIR_ELEM);
        uint32_t checked_out = element(vob_a, 3, VNS_MTYPE_ELEM, 1);
        element(vob_a, 4, VNS_MTYPE_DIR_ELEM);
        element(vob_a, 5, VNS_MTYPE_ELEM);
        element(vob_a, 6, VNS_MTYPE_ELEM);  // no version loaded
        ASSERT_EQ(0, ostrel_db_elem_set_checkedout(vob_a, checked_out, at(oid_of(333)), 1));
        uint32_t root = 0;
        qel_fstat_db_s rf = loaded_fstat(QEL_FTYPE_DIR, 0);
        struct timeval when = {1500000000, 9};
        ASSERT_EQ(0, ostrel_db_create_root_dir(vob_a, at(oid_of(11)), at(oid_of(1)), &when, &rf, &def, 3, 0, &root));
        uint32_t dir = version(vob_a, root, 2, 12, VNS_MTYPE_DIR_VER, "dir", POPULATED_RULE, 4);
        uint32_t file = version(vob_a, dir, 3, 13, VNS_MTYPE_VER, "file.c", POPULATED_RULE, 4);
        ASSERT_EQ(0, ostrel_db_ver_set_stale(vob_a, file, 1));
        std::string long_name(150, 'L');
        version(vob_a, root, 5, 15, VNS_MTYPE_VER, long_name, def, 3);
        ASSERT_EQ(0, ostrel_db_ver_set_validated(vob_a, root, long_name.c_str(), 0));
        // The directory a second time, under another name and scope.
        version(vob_a, root, 2, 12, VNS_MTYPE_DIR_VER, "alias", def, 3);
        uint32_t deep = version(vob_a, dir, 4, 14, VNS_MTYPE_DIR_VER, "deep", POPULATED_RULE, 4);
        version(vob_a, deep, 7, 17, VNS_MTYPE_DERIVED_VER, "x", POPULATED_RULE, 4);
        // The many more in one transaction.
        EXPECT_EQ(0, write_tx([&] {
            int st = 0;
            for (unsigned i = 0; st == 0 && i < more; ++i) {
                uint32_t dbid = 0;
                struct timeval when = {1600000000, static_cast<int>(i)};
                qel_fstat_db_s f = loaded_fstat(QEL_FTYPE_REG, i);
                std::string name = "f" + std::to_string(i);
                st = ostrela_db_create_vns_ver(vob_a, deep, at(oid_of(100000 + i)), at(oid_of(1000 + i)),
                                               VNS_MTYPE_VER, &when, name.c_str(), &f, &POPULATED_RULE, 4, 0, &dbid,
                                               nullptr, nullptr);
            }
            return st;
        }));
        uint32_t link = 0;
        qel_fstat_db_s lf = loaded_fstat(QEL_FTYPE_REG, 0);
        ASSERT_EQ(0, ostrel_db_create_slink(vob_a, dir, at(oid_of(16)), &when, "ln", std::string(100, 'T').c_str(),
                                            &lf, &POPULATED_RULE, 4, &link, nullptr));
        ASSERT_EQ(0, ostrel_db_ver_set_load_done(vob_a, dir, 0));
        // Directory flags as a load of a load-rule scope leaves them.
        ASSERT_EQ(0, write_tx([&] {
            int st = ostrela_db_need_by_dbid(DIR_VER_KEY, VNS_DB_DIR_VER, ostrela_db_dbid2dba(vob_a), deep, "T");
            vns_db_dir_ver rec;
            if (st == 0) st = dt_recread(&rec, &view_db_task, VDB);
            rec.saved = 2;
            return st == 0 ? dt_recwrite(&rec, &view_db_task, VDB) : st;
        }));
    }
};

} // namespace db_test
