#pragma once
// What a view database holds, as text, for tests that rebuild a database and
// compare before and after: every VOB, inode, name, config record, scope,
// element and loaded tree by what names it (ids, paths), never by record
// address, dbid or cookie, which a rebuild hands out anew; then what the
// queries answer; then the containers of the pool. Generation numbers of
// inodes and VOBs are new too, and are left out.
//
// A rebuild does not carry (so neither does the listing) the file-status
// word at bytes 12-15 of loaded versions and view-private inodes, the size
// of a VOB's root directory version, node numbers, nor the removal mark of a
// loaded name.

#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "lib/lib_test_support.h"
#include "lib/ostreladb/ostrel_db.h"
#include "lib/ostreladb/ostrel_db_record.h"
#include "lib/ostreladb/ostrel_db_scope.h"
#include "lib/ostreladb/ostrel_db_session.h"
#include "lib/ostreladb/ostrel_db_vns.h"

namespace db_test {

// The old databases a rebuild kept in the current directory (a view
// storage).
inline std::vector<std::string> kept_dbs() {
    std::vector<std::string> kept;
    for (const std::string& name : lib_test::list_dir("."))
        if (name.rfind("db.dumped", 0) == 0) kept.push_back(name);
    return kept;
}

// How often `part` stands in `text`.
inline size_t count_of(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

class Listing {
public:
    // The listing of the open database in the current directory (a view
    // storage); an engine failure shows as a line of its own.
    static std::string of_current_db() {
        Listing l;
        int status = ostrel_db_in_transaction(0, [&l] { return l.read_all(); });
        if (status != 0) l.line("FAILED " + std::to_string(status));
        l.containers();
        return l.out_.str();
    }

private:
    template <typename T>
    static std::string hex(T v) {
        char buf[24];
        std::snprintf(buf, sizeof buf, "%llx", static_cast<unsigned long long>(v));
        return buf;
    }
    static std::string id(const qel_oid_s& oid) { return lib_test::text(oid); }
    static std::string id(const qel_uuid_s& uuid) { return lib_test::text(uuid); }
    static std::string sid(const credutl_sid_t& sid) {
        char buf[CREDUTL_SID_STR_MAX + 1];
        return credutl_sid_to_str(&sid, buf, sizeof buf) == 0 ? buf : "?";
    }
    static std::string times(const qel_fstat_db_s& f) {
        return hex(f.atime.tv_sec) + "." + hex(f.atime.tv_usec) + " " + hex(f.mtime.tv_sec) + "." +
               hex(f.mtime.tv_usec) + " " + hex(f.ctime.tv_sec) + "." + hex(f.ctime.tv_usec) + " " +
               hex(f.xtime.tv_sec) + "." + hex(f.xtime.tv_usec);
    }
    void line(const std::string& text) { out_ << text << "\n"; }
    // Lines in an order of their own, sorted.
    void lines(std::vector<std::string> texts) {
        std::sort(texts.begin(), texts.end());
        for (const std::string& t : texts) line(t);
    }

    template <typename Visit>
    static int each(int type, Visit visit) {
        int status = ostrela_db_scan_records(type, 0, "LISTING", visit);
        return status == QEL_ST_NOT_FOUND ? 0 : status;
    }

    std::string vob_of(db_address vob) {
        qel_uuid_s uuid{};
        ostrela_db_vob_get_uuid(ostrela_db_dba2dbid(vob), &uuid);
        return id(uuid);
    }

    int read_all() {
        int status = vobs();
        if (status == 0) status = inodes();
        if (status == 0) status = crs();
        if (status == 0) status = scopes_and_view();
        if (status == 0) status = elements();
        if (status == 0) status = trees();
        if (status == 0) status = queries();
        return status;
    }

    int vobs() {
        std::vector<std::string> texts;
        int status = each(DB_VOB, [&](db_address) {
            db_vob rec;
            dt_recread(&rec, &view_db_task, VDB);
            char text[1024];
            int st = ostrela_db_vob_read(&rec.replica_uuid, sizeof text, text, nullptr);
            texts.push_back("VOB " + id(rec.replica_uuid) + " '" + text + "' flags " + hex(rec.flags) + " refs " +
                            hex(rec.ref_cnt));
            return st;
        });
        lines(texts);
        return status;
    }

    // Each inode with its status and text, then its names if a directory.
    int inodes() {
        std::vector<std::string> texts;
        int status = each(DB_INODE, [&](db_address at) {
            uint32_t dbid = ostrela_db_dba2dbid(at), mtype = 0, vob = 0;
            qel_oid_s oid;
            qel_fstat_db_s f;
            char text[1024];
            int st = ostrela_db_inode_read(dbid, nullptr, &oid, &f, &mtype, &vob);
            if (st == 0) st = ostrela_db_inode_read_text(dbid, text, sizeof text);
            if (st != 0) return st;
            std::string where = vob == 0 ? "stranded" : vob_of(ostrela_db_dbid2dba(vob));
            std::string entry = "INODE " + where + " " + id(oid) + " kind " + hex(mtype) + " type " + hex(f.type) +
                                " mode " + hex(f.mode) + " links " + hex(f.nlink) + " size " + hex(uint64_t{f.size}) +
                                " " + sid(f.usid) + " " + sid(f.gsid) + " " + times(f) + " text '" + text + "'";
            // Its names, in directory order.
            std::vector<char> buf(1 << 16);
            size_t bytes = 0;
            int end = 0;
            if (f.type == QEL_FTYPE_DIR && ostrela_db_dir_lookup(dbid) == 0) {
                st = ostrela_db_readdir(dbid, 0, buf.data(), buf.size(), &bytes, &end);
                for (size_t p = 0; st == 0 && p < bytes;) {
                    view_db_readdir_entry e;
                    std::memcpy(&e, buf.data() + p, VIEW_DB_READDIR_HEAD);
                    std::string name(buf.data() + p + VIEW_DB_READDIR_HEAD, e.name_len);
                    qel_oid_s target = QEL_OID_NULL, h1 = QEL_OID_NULL, h2 = QEL_OID_NULL;
                    if (e.inode != 0) ostrela_db_inode_read(e.inode, nullptr, &target, nullptr, nullptr, nullptr);
                    if (e.state & DIR_ENT_STATE_HIJACKED) ostrela_db_hijack_get(dbid, name.c_str(), &h1, &h2);
                    entry += "\n  NAME '" + name + "' -> " + id(target) + " state " + hex(e.state) + " hijack " +
                             id(h1) + " " + id(h2);
                    p += view_db_readdir_entry_size(e.name_len);
                }
            }
            texts.push_back(entry);
            return st;
        });
        lines(texts);
        return status;
    }

    int crs() {
        std::vector<std::string> texts;
        int status = each(DB_CR, [&](db_address at) {
            db_cr rec;
            dt_recread(&rec, &view_db_task, VDB);
            std::string text = "CR refs " + hex(rec.parent_ref_cnt) + " header " + hex(rec.header_word);
            std::vector<db_address> members;
            for (int set : {DO_OID_SET, SUB_DO_SET, UNELEVATED_CR_SET}) {
                members.clear();
                dt_crset(&at, &view_db_task, VDB);
                int st = ostrela_db_collect_members(set, members, "LISTING");
                if (st != 0) return st;
                std::vector<std::string> parts;
                for (db_address m : members) {
                    if (set == DO_OID_SET) {
                        db_do d;
                        ostrela_db_read_at(m, &d, "LISTING");
                        parts.push_back(id(d.replica_uuid) + "/" + id(d.oid));
                    } else if (set == SUB_DO_SET) {
                        db_sub_do s;
                        ostrela_db_read_at(m, &s, "LISTING");
                        for (const qel_oid_s& o : s.oids)
                            if (!qel_oid_eq(&o, &QEL_OID_NULL)) parts.push_back("uses " + id(o));
                    } else {
                        db_unelevated_ref r;
                        ostrela_db_read_at(m, &r, "LISTING");
                        parts.push_back("vob " + id(r.replica_uuid));
                    }
                }
                if (set == UNELEVATED_CR_SET) std::sort(parts.begin(), parts.end());
                for (const std::string& p : parts) text += " " + p;
            }
            _qel_cr_compressed_t* cr = nullptr;
            dt_crset(&at, &view_db_task, VDB);
            int st = ostrela_db_cr_read(&cr);
            if (st != 0) return st;
            text += " data '" + std::string(static_cast<const char*>(cr->data), cr->length) + "'";
            ostrela_db_cr_free(cr);
            texts.push_back(text);
            return 0;
        });
        lines(texts);
        return status;
    }

    int scopes_and_view() {
        int status = each(VNS_DB_VIEW, [&](db_address) {
            vns_db_view v;
            dt_recread(&v, &view_db_task, VDB);
            line("VIEW " + id(v.uuid) + " gn " + hex(v.gn) + " initial " + hex(v.initial_gn));
            return 0;
        });
        // In record order: the default scope leads.
        if (status == 0)
            status = each(VNS_DB_LR_SCOPE, [&](db_address at) {
                vns_db_lr_scope s;
                dt_recread(&s, &view_db_task, VDB);
                char name[1024];
                int st = ostrela_db_get_lr_scope_name(at, &s, sizeof name, name);
                line("SCOPE " + id(s.oid) + " '" + name + "' gn " + hex(s.gn) + " completed " + hex(s.completed_gn) +
                     " spare " + hex(s.spare) + " state " + hex(s.state));
                return st;
            });
        return status;
    }

    static std::string object(const vns_db_obj& o) {
        return id(o.oid) + " kind " + hex(o.mtype) + " type " + hex(o.fstat_type) + " mode " + hex(o.fstat_mode) +
               " times " + hex(o.atime.tv_sec) + "." + hex(o.atime.tv_usec) + " " + hex(o.mtime.tv_sec) + "." +
               hex(o.mtime.tv_usec) + " " + hex(o.ctime.tv_sec) + "." + hex(o.ctime.tv_usec) + " " +
               hex(o.xtime.tv_sec) + "." + hex(o.xtime.tv_usec);
    }

    int read_obj(db_address vob, uint32_t dbid, vns_db_obj* o) {
        int st = ostrela_db_need_by_dbid(OBJ_DBID_KEY, VNS_DB_OBJ, vob, dbid, "LISTING");
        return st != 0 ? st : dt_recread(o, &view_db_task, VDB);
    }

    int elements() {
        std::vector<std::string> texts;
        int status = each(VNS_DB_ELEM, [&](db_address) {
            vns_db_elem e;
            vns_db_obj o;
            dt_recread(&e, &view_db_task, VDB);
            int st = read_obj(e.vob_dba, e.dbid, &o);
            texts.push_back("ELEM " + vob_of(e.vob_dba) + " " + object(o) + " co " + id(e.co_oid) + " " +
                            hex(e.checkedout) + " time " + hex(e.time_sec) + "." + hex(e.time_usec));
            return st;
        });
        lines(texts);
        return status;
    }

    // Each VOB's loaded tree: every name by its path, with what it names.
    int trees() {
        std::vector<std::pair<db_address, uint32_t>> roots;
        int status = each(DB_VOB, [&](db_address at) {
            db_vob rec;
            dt_recread(&rec, &view_db_task, VDB);
            if (rec.root_dir_dbid != 0) roots.emplace_back(at, rec.root_dir_dbid);
            return 0;
        });
        std::vector<std::string> texts;
        for (const auto& [vob, root] : roots) {
            if (status != 0) break;
            std::vector<std::pair<std::string, uint32_t>> dirs{{vob_of(vob) + ":", root}};
            status = version(vob, root, VNS_MTYPE_DIR_VER, dirs[0].first, nullptr, texts);
            for (size_t i = 0; status == 0 && i < dirs.size(); ++i) {
                std::vector<ostrela_db_sub_vers> subs;
                status = ostrela_db_get_sub_vers(vob, dirs[i].second, subs);
                for (size_t k = 0; status == 0 && k < subs.size(); ++k) {
                    vns_db_dir_ver_ent ent;
                    char name[256];
                    status = ostrela_db_read_at(subs[k].entry, &ent, "LISTING");
                    if (status == 0) status = ostrela_db_get_dir_ver_ent_pname(vob, subs[k].entry, sizeof name, name);
                    std::string path = dirs[i].first + "/" + name;
                    if (status == 0) status = version(vob, subs[k].dbid, subs[k].mtype, path, &ent, texts);
                    // A directory named twice is listed below each name once.
                    if (status == 0 && subs[k].mtype == VNS_MTYPE_DIR_VER && path.size() < 2048)
                        dirs.emplace_back(path, subs[k].dbid);
                }
            }
        }
        lines(texts);
        return status;
    }

    int version(db_address vob, uint32_t dbid, uint32_t mtype, const std::string& path,
                const vns_db_dir_ver_ent* ent, std::vector<std::string>& texts) {
        vns_db_obj o;
        int status = read_obj(vob, dbid, &o);
        if (status != 0) return status;
        std::string text = "LOADED " + path + " " + object(o);
        if (ent != nullptr)
            text += " scope " + id(ent->scope) + " gn " + hex(ent->gn) + " valid " + hex(ent->valid);
        if (mtype == VNS_MTYPE_SLINK) {
            char buf[1024];
            status = ostrela_db_get_slink_info(ostrela_db_dba2dbid(vob), dbid, sizeof buf, nullptr, nullptr, nullptr,
                                               buf, nullptr);
            text += " -> '" + std::string(buf) + "'";
        } else {
            vns_db_ver v;
            status = ostrela_db_need_by_dbid(VER_KEY, VNS_DB_VER, vob, dbid, "LISTING");
            if (status == 0) dt_recread(&v, &view_db_task, VDB);
            qel_oid_s elem = QEL_OID_NULL;
            uint32_t elem_dbid = 0;
            if (status == 0 && ostrela_db_ver_get_elem(ostrela_db_dba2dbid(vob), dbid, &elem_dbid) == 0) {
                vns_db_obj eo;
                if (read_obj(vob, elem_dbid, &eo) == 0) elem = eo.oid;
            }
            text += " elem " + id(elem) + " stale " + hex(v.stale) + " time " + hex(v.time_sec) + "." +
                    hex(v.time_usec);
            if (ent != nullptr) text += " size " + hex(uint64_t{v.size_high} << 32 | v.size_low);
            if (mtype == VNS_MTYPE_DIR_VER && status == 0) {
                vns_db_dir_ver d;
                status = ostrela_db_need_by_dbid(DIR_VER_KEY, VNS_DB_DIR_VER, vob, dbid, "LISTING");
                if (status == 0) dt_recread(&d, &view_db_task, VDB);
                text += " done " + hex(d.rddir_done) + " saved " + hex(d.saved);
            }
        }
        texts.push_back(text);
        return status;
    }

    // What the view's queries answer.
    int queries() {
        std::vector<ostrelagent_hijack_co_info> found;
        std::vector<std::string> texts;
        auto take = [&](const char* what) {
            for (const auto& f : found) texts.push_back(std::string(what) + " " + id(f.identity) + " " + id(f.directory) + " " + f.name);
            found.clear();
        };
        int status = ostrela_db_find_hijacks(found);
        take("HIJACKED");
        if (status == 0) status = ostrela_db_find_privates(&QEL_UUID_NULL, found, 1);
        take("PRIVATE");
        if (status == 0) status = ostrela_db_find_checkouts(found);
        take("CHECKEDOUT");
        // Every name of every VOB, and the VOBs with their flag.
        std::vector<char> buf(8192);
        uint32_t cursor = 0;
        for (int end = 0; status == 0 && !end;) {
            size_t bytes = 0;
            status = ostrela_db_inventory(cursor, &QEL_UUID_NULL, &QEL_OID_NULL, 0, buf.size(), buf.data(), &bytes,
                                          &cursor, &end);
            for (size_t p = 0; status == 0 && p < bytes;) {
                view_inv_entry e;
                std::memcpy(&e, buf.data() + p, VIEW_INV_ENTRY_HEAD);
                texts.push_back("INVENTORY " + id(e.replica_uuid) + " " + id(e.dir_oid) + " " + hex(e.state) + " " +
                                id(e.obj_oid) + " " + std::string(buf.data() + p + VIEW_INV_ENTRY_HEAD, e.name_len));
                p += view_inv_entry_size(e.name_len);
            }
        }
        for (int filter : {0, 1}) {
            qel_uuid_s uuids[64];
            int count = 0, end = 0;
            uint32_t next = 0;
            if (status == 0) status = ostrela_db_inventory_vobs(0, filter, 64, uuids, &count, &next, &end);
            for (int i = 0; i < count; ++i) texts.push_back("VOBS " + std::to_string(filter) + " " + id(uuids[i]));
        }
        lines(texts);
        std::vector<ostrel_scope> scopes;
        if (status == 0) status = ostrela_db_get_lr_scopes(1, scopes);
        for (const ostrel_scope& s : scopes) {
            std::vector<ostrelagent_scope_elem> elems;
            // A version without an element stops the listing: its status shows.
            int listed = ostrela_db_scope_get_elements(&s.scope_oid, elems);
            std::vector<std::string> members;
            for (const auto& e : elems) members.push_back(id(e.replica_uuid) + "/" + id(e.elem_oid));
            std::sort(members.begin(), members.end());
            std::string text = "LISTED SCOPE " + id(s.scope_oid) + " '" + s.pname + "' gn " + hex(s.gn) + " (" +
                               std::to_string(listed) + "):";
            for (const std::string& m : members) text += " " + m;
            line(text);
        }
        return status;
    }

    // The files of the container pool and what they hold.
    void containers() {
        std::vector<std::string> texts;
        for (const std::string& sub : lib_test::list_dir(OSTREL_STORAGE_POOL)) {
            std::string dir = std::string(OSTREL_STORAGE_POOL) + "/" + sub;
            for (const std::string& name : lib_test::list_dir(dir))
                texts.push_back("CONTAINER " + sub + "/" + name + " '" + lib_test::read_file(dir + "/" + name) + "'");
        }
        lines(texts);
    }

    std::ostringstream out_;
};

} // namespace db_test
