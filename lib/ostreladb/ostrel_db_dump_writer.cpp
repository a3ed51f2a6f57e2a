// Writing the dump files of a view database, the dump program's work: every
// record the loader can make again, in an order in which each record names
// only what came before it. Everything is read in one read transaction and
// written as it is read, so memory does not grow with the database.
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "lib/ostreladb/ostrel_db_dump.h"
#include "lib/ostreladb/ostrel_db_record.h"
#include "lib/ostreladb/ostrel_db_report.h"
#include "lib/ostreladb/ostrel_db_scope.h"
#include "lib/ostreladb/ostrel_db_session.h"
#include "lib/ostreladb/ostrel_db_vns.h"

namespace {

const char* const DUMP = "DUMP";

// One record as text: its keyword, then each field after a blank.
class Line {
public:
    explicit Line(const char* keyword) : text_(keyword) {}

    Line& hex(uint64_t value) {
        char buf[24];
        std::snprintf(buf, sizeof buf, " %" PRIx64, value);
        text_ += buf;
        return *this;
    }
    Line& dec(long value) {
        text_ += ' ';
        text_ += std::to_string(value);
        return *this;
    }
    Line& id(const qel_oid_s& oid) {
        char buf[QEL_OID_STR_SIZE];
        text_ += ' ';
        text_ += qel_oid_to_str(&oid, buf);
        return *this;
    }
    Line& id(const qel_uuid_s& uuid) {
        char buf[QEL_UUID_STR_SIZE];
        text_ += ' ';
        text_ += qel_uuid_to_str(&uuid, buf);
        return *this;
    }
    Line& sid(const credutl_sid_t& sid) {
        char buf[CREDUTL_SID_STR_MAX + 1];
        if (credutl_sid_to_str(&sid, buf, sizeof buf) != 0) buf[0] = '\0';
        text_ += ' ';
        text_ += buf;
        return *this;
    }
    // A counted string: its length, ':' and the bytes as they are.
    Line& text(const char* bytes, size_t len) {
        dec(static_cast<long>(len));
        text_ += ':';
        text_.append(bytes, len);
        return *this;
    }
    Line& text(const std::string& bytes) { return text(bytes.data(), bytes.size()); }
    Line& block(const qel_fstat_db_s& fstat) {
        uint32_t words[OSTREL_DB_DUMP_FSTAT_WORDS];
        ostrela_db_fstat_to_words(fstat, words);
        for (uint32_t w : words) hex(w);
        return *this;
    }
    const std::string& end() {
        text_ += '\n';
        return text_;
    }

private:
    std::string text_;
};

// The dump files being written, each under a temporary name until all are
// complete.
class DumpFiles {
public:
    DumpFiles(size_t limit, std::string* error)
        : limit_(limit), id_(static_cast<uint32_t>(std::time(nullptr))), error_(error) {}
    ~DumpFiles() {
        if (file_ != nullptr) std::fclose(file_);
        for (const std::string& name : temps_) ::unlink(name.c_str());
    }
    DumpFiles(const DumpFiles&) = delete;
    DumpFiles& operator=(const DumpFiles&) = delete;

    // Writes a record, beginning a new file first when this one is full.
    int write(Line& line) {
        if (file_ == nullptr || written_ >= limit_) {
            int status = next_file();
            if (status != 0) return status;
        }
        const std::string& text = line.end();
        if (std::fwrite(text.data(), 1, text.size(), file_) != text.size()) return failed("write", temps_.back());
        written_ += text.size();
        return 0;
    }

    // Ends the last file with `Eof`, synchronises it and puts every file in
    // its place; numbered files of an older dump beyond the last go.
    int finish() {
        Line eof("Eof");
        int status = write(eof);
        if (status == 0) status = close_file();
        // The first file last: a dump is complete once its first file is.
        for (size_t i = temps_.size(); status == 0 && i-- > 0;) {
            std::string name = ostrela_db_dump_file_name(static_cast<int>(i));
            if (::rename(temps_[i].c_str(), name.c_str()) != 0) status = failed("rename", temps_[i]);
        }
        if (status != 0) return status;
        temps_.clear();
        for (int i = static_cast<int>(count_);; ++i) {
            std::string old = ostrela_db_dump_file_name(i);
            if (::unlink(old.c_str()) != 0) {
                if (errno == ENOENT) break;
                return failed("unlink", old);
            }
        }
        return ostrela_db_sync_dir(".") == 0 ? 0 : failed("fsync", ".");
    }

private:
    int next_file() {
        int status = close_file();
        if (status != 0) return status;
        std::string name = ostrela_db_dump_file_name(static_cast<int>(count_)) + ".tmp";
        file_ = std::fopen(name.c_str(), "we");
        if (file_ == nullptr) return failed("open", name);
        temps_.push_back(name);
        written_ = 0;
        Line ver("Ver");
        ver.dec(OSTREL_DB_DUMP_FORMAT).dec(static_cast<long>(count_++)).hex(id_);
        const std::string& text = ver.end();
        if (std::fwrite(text.data(), 1, text.size(), file_) != text.size()) return failed("write", name);
        written_ = text.size();
        return 0;
    }
    int close_file() {
        if (file_ == nullptr) return 0;
        FILE* file = file_;
        file_ = nullptr;
        bool ok = std::fflush(file) == 0 && ::fsync(fileno(file)) == 0;
        int error = errno;
        ok = std::fclose(file) == 0 && ok;
        errno = ok ? errno : error;
        return ok ? 0 : failed("write", temps_.back());
    }
    int failed(const char* what, const std::string& name) {
        *error_ = std::string(what) + " " + name + ": " + std::strerror(errno);
        return QEL_ST_INTERNAL;
    }

    size_t limit_;
    uint32_t id_;
    std::string* error_;
    FILE* file_ = nullptr;
    size_t written_ = 0;
    size_t count_ = 0;
    std::vector<std::string> temps_;
};

int engine(int st, const char* op) { return ostrela_db_engine(st, op, DUMP); }

int read_current(void* rec) { return engine(dt_recread(rec, &view_db_task, VDB), "D_RECREAD"); }

// The record of `type` keyed by (VOB, dbid), read.
int read_by_dbid(long key, int type, db_address vob, uint32_t dbid, void* rec, db_address* at = nullptr) {
    int status = ostrela_db_need_by_dbid(key, type, vob, dbid, DUMP, at);
    return status != 0 ? status : read_current(rec);
}

// The file status a loaded object's record keeps.
qel_fstat_db_s object_status(const vns_db_obj& obj) {
    qel_fstat_db_s fstat{};
    fstat.type = obj.fstat_type;
    fstat.mode = obj.fstat_mode;
    fstat.nodeid = obj.node_id;
    fstat.atime = obj.atime;
    fstat.mtime = obj.mtime;
    fstat.ctime = obj.ctime;
    fstat.xtime = obj.xtime;
    return fstat;
}

class Dumper {
public:
    Dumper(size_t limit, std::string* error) : files_(limit, error), error_(error) {}

    int run() {
        int status = vobs();
        if (status == 0) status = inodes();
        if (status == 0) status = names();
        if (status == 0) status = config_records();
        if (status == 0) status = view();
        if (status == 0) status = scopes();
        if (status == 0) status = elements();
        for (const auto& root : roots_)
            if (status == 0) status = tree(root.first, root.second);
        if (status == 0) status = files_.finish();
        else if (error_->empty()) *error_ = std::string("reading the view database failed: ") + qel_strerror(status);
        return status;
    }

private:
    // A record that cannot be read because the database is damaged is left
    // out with a line on standard error, and the dump goes on: a database
    // that a power failure left partly written is rebuilt from what it
    // holds whole (the loader leaves out what names a record left out, and
    // the check after the load makes the database agree with its
    // containers). A failure for want of memory, room or a file ends the
    // dump instead, which the next start tries again: a healthy database
    // loses nothing to it.
    int skip(int status, const char* what) {
        switch (db_status) {
        case S_NOMEMORY:
        case S_NOSPACE:
        case S_NOFILE:
        case S_FAULT:
            return status;
        default:
            std::fprintf(stderr, "%s left out of the dump: %s\n", what, qel_strerror(status));
            return 0;
        }
    }

    // Scans every record of `type`; the end of the records is no failure.
    template <typename Visit>
    static int scan(int type, Visit visit) {
        int status = ostrela_db_scan_records(type, 0, DUMP, visit);
        return status == QEL_ST_NOT_FOUND ? 0 : status;
    }

    const qel_uuid_s& vob_uuid(db_address vob) { return vob_uuids_[vob]; }

    int vobs() {
        return scan(DB_VOB, [this](db_address record) {
            db_vob rec;
            int status = read_current(&rec);
            std::string text(rec.text, std::min<size_t>(rec.text_len, VOB_TEXT_ROOM));
            if (status == 0 && rec.text_len > VOB_TEXT_ROOM) {
                std::string rest(rec.text_len - VOB_TEXT_ROOM, '\0');
                status = ostrela_db_bytes_read(record, rec.bytes_dba, &rest[0], rest.size());
                text += rest;
            }
            if (status != 0) return skip(status, "a VOB record");
            vob_uuids_[record] = rec.replica_uuid;
            if (rec.root_dir_dbid != 0) roots_.emplace_back(record, rec.root_dir_dbid);
            // One flag bit serves both setwork and hlink.
            uint32_t flag = rec.flags & 0x1;
            Line line("Vob");
            status = files_.write(line.id(rec.replica_uuid).text(text).hex(flag).hex(flag));
            Line counter("Vob-Dbid");
            return status != 0 ? status : files_.write(counter.id(rec.replica_uuid).hex(rec.next_dbid));
        });
    }

    int inodes() {
        return scan(DB_INODE, [this](db_address record) {
            uint32_t dbid = ostrela_db_dba2dbid(record), mtype = 0, vob = 0;
            qel_oid_s oid;
            qel_fstat_db_s fstat;
            char text[OSTREL_DB_DUMP_TEXT_MAX + 1];
            int status = ostrela_db_inode_read(dbid, nullptr, &oid, &fstat, &mtype, &vob);
            if (status == 0 && vob == 0) return 0;  // stranded: its container goes to lost+found
            if (status == 0) status = ostrela_db_inode_read_text(dbid, text, sizeof text);
            if (status != 0) return skip(status, "an inode");
            Line line("Inode");
            line.id(vob_uuid(ostrela_db_dbid2dba(vob))).id(oid).hex(mtype).hex(fstat.type).hex(fstat.mode);
            line.sid(fstat.usid).sid(fstat.gsid).hex(fstat.size);
            line.hex(fstat.atime.tv_sec).hex(fstat.atime.tv_usec).hex(fstat.mtime.tv_sec).hex(fstat.mtime.tv_usec);
            line.hex(fstat.ctime.tv_sec).hex(fstat.ctime.tv_usec).hex(fstat.xtime.tv_sec).hex(fstat.xtime.tv_usec);
            return files_.write(line.text(text, std::strlen(text)));
        });
    }

    // The names of every directory of an inode that is dumped.
    int names() {
        return scan(DB_DIR, [this](db_address record) {
            db_dir dir;
            db_inode inode;
            std::vector<db_address> entries;
            int status = read_current(&dir);
            if (status == 0) status = ostrela_db_read_at(dir.inode_dba, &inode, DUMP);
            if (status == 0) status = engine(dt_crset(&record, &view_db_task, VDB), "D_CRSET");
            if (status == 0) status = ostrela_db_collect_members(DIR_ENT_SET, entries, DUMP);
            if (status != 0) return skip(status, "a directory's names");
            if (inode.vob_dba == 0) return 0;
            for (size_t i = 0; status == 0 && i < entries.size(); ++i)
                status = name(vob_uuid(inode.vob_dba), inode.oid, entries[i]);
            return status;
        });
    }

    int name(const qel_uuid_s& vob, const qel_oid_s& dir, db_address at) {
        db_dir_ent ent;
        char text[OSTREL_DB_NAME_BUF];
        uint32_t object = 0;
        qel_oid_s target = QEL_OID_NULL;
        int status = ostrela_db_read_at(at, &ent, DUMP);
        if (status == 0) status = ostrela_db_dir_string_read(&ent, text, sizeof text);
        if (status == 0) status = engine(dt_crset(&at, &view_db_task, VDB), "D_CRSET");
        if (status == 0) status = ostrela_db_dir_entry_object(&object);
        if (status == 0 && object != 0)
            status = engine(dt_csoread(INODE_OID_SET, INODE_OID, &target, &view_db_task, VDB), "D_CSOREAD");
        if (status != 0) return skip(status, "a name");
        Line line("Name");
        line.id(vob).id(dir).text(text, ent.name_len).id(target);
        line.hex(ent.name_state & 0x1 ? 1 : 0).hex(ent.name_state & 0x2 ? 1 : 0).hex(ent.name_state & 0x4 ? 1 : 0);
        return files_.write(line.id(ent.hijack_oid).id(ent.hijack_oid2));
    }

    // Config records, each after those it uses.
    int config_records() {
        std::unordered_set<db_address> done;
        return scan(DB_CR, [this, &done](db_address record) { return config_record(record, done); });
    }

    int config_record(db_address cr, std::unordered_set<db_address>& done) {
        if (!done.insert(cr).second) return 0;
        std::vector<db_address> subs, dos, refs;
        int status = engine(dt_crset(&cr, &view_db_task, VDB), "D_CRSET");
        if (status == 0) status = ostrela_db_collect_members(SUB_DO_SET, subs, DUMP);
        if (status == 0) status = engine(dt_crset(&cr, &view_db_task, VDB), "D_CRSET");
        if (status == 0) status = ostrela_db_collect_members(DO_OID_SET, dos, DUMP);
        if (status == 0) status = engine(dt_crset(&cr, &view_db_task, VDB), "D_CRSET");
        if (status == 0) status = ostrela_db_collect_members(UNELEVATED_CR_SET, refs, DUMP);
        std::vector<qel_oid_s> used;
        for (size_t i = 0; status == 0 && i < subs.size(); ++i) {
            db_sub_do sub;
            status = ostrela_db_read_at(subs[i], &sub, DUMP);
            for (size_t s = 0; status == 0 && s < SUB_DO_SLOTS; ++s)
                if (!qel_oid_eq(&sub.oids[s], &QEL_OID_NULL)) used.push_back(sub.oids[s]);
        }
        if (status != 0) return skip(status, "a config record");
        // What it uses comes first.
        for (size_t i = 0; status == 0 && i < used.size(); ++i) {
            int st = dt_keyfind(DO_OID, &used[i], &view_db_task, VDB);
            if (st == S_NOTFOUND) continue;
            db_address owner = 0;
            status = engine(st, "D_KEYFIND");
            if (status == 0) status = engine(dt_setmr(DO_OID_SET, &view_db_task, VDB), "D_SETMR");
            if (status == 0) status = engine(dt_csoget(DO_OID_SET, &owner, &view_db_task, VDB), "D_CSOGET");
            if (status == 0) status = config_record(owner, done);
        }
        _qel_cr_compressed_t* data = nullptr;
        if (status == 0) status = engine(dt_crset(&cr, &view_db_task, VDB), "D_CRSET");
        if (status == 0 && ostrela_db_cr_read(&data) != 0) {
            // Its data cannot be read back (reported): there is nothing to
            // dump, and those that use it lose that reference.
            return 0;
        }
        Line line("Cr");
        if (status == 0) {
            line.hex(data->header).text(static_cast<const char*>(data->data), data->length).hex(dos.size());
            ostrela_db_cr_free(data);
        }
        for (size_t i = 0; status == 0 && i < dos.size(); ++i) {
            db_do derived;
            status = ostrela_db_read_at(dos[i], &derived, DUMP);
            line.id(derived.replica_uuid).id(derived.oid);
        }
        line.hex(used.size());
        for (const qel_oid_s& oid : used) line.id(oid);
        line.hex(refs.size());
        for (size_t i = 0; status == 0 && i < refs.size(); ++i) {
            db_unelevated_ref ref;
            status = ostrela_db_read_at(refs[i], &ref, DUMP);
            line.id(ref.replica_uuid);
        }
        return status != 0 ? skip(status, "a config record") : files_.write(line);
    }

    int view() {
        int st = dt_recfrst(VNS_DB_VIEW, &view_db_task, VDB);
        if (st == S_NOTFOUND) return 0;
        vns_db_view rec;
        int status = engine(st, "D_RECFRST");
        if (status == 0) status = read_current(&rec);
        if (status != 0) return skip(status, "the view record");
        Line line("Vns-View");
        return files_.write(line.id(rec.uuid).hex(rec.gn).hex(rec.initial_gn));
    }

    // The default scope first: a new database makes it first.
    int scopes() {
        uint32_t def = 0;
        int status = ostrela_db_lookup_lr_scope_oid(&AUTOMATIC_LOAD_SCOPE_OID, &def);
        if (status == 0) status = scope(def);
        if (status != 0 && status != QEL_ST_NOT_FOUND) return status;
        return scan(VNS_DB_LR_SCOPE, [this, def](db_address record) { return record == def ? 0 : scope(record); });
    }

    int scope(db_address record) {
        vns_db_lr_scope rec;
        char name[OSTREL_DB_DUMP_TEXT_MAX + 1];
        int status = ostrela_db_read_at(record, &rec, DUMP);
        if (status == 0) status = ostrela_db_get_lr_scope_name(record, &rec, sizeof name, name);
        if (status != 0) return skip(status, "a load scope");
        Line line("Lr-Scope");
        line.id(rec.oid).hex(rec.gn).hex(rec.completed_gn).hex(rec.spare).hex(rec.state);
        return files_.write(line.text(name, rec.name_len));
    }

    int elements() {
        return scan(VNS_DB_ELEM, [this](db_address) {
            vns_db_elem elem;
            vns_db_obj obj;
            int status = read_current(&elem);
            if (status == 0) status = read_by_dbid(OBJ_DBID_KEY, VNS_DB_OBJ, elem.vob_dba, elem.dbid, &obj);
            if (status != 0) return skip(status, "an element");
            Line line("Vns-Element");
            line.id(vob_uuid(elem.vob_dba)).id(obj.oid).id(elem.co_oid).hex(obj.mtype);
            line.hex(elem.time_sec).hex(elem.time_usec).hex(elem.checkedout);
            return files_.write(line.block(object_status(obj)));
        });
    }

    // A loaded version or link as the records of its entry show it.
    struct Loaded {
        vns_db_obj obj;
        vns_db_ver ver{};
        vns_db_dir_ver dir{};
        qel_oid_s elem_oid = QEL_OID_NULL;
        db_address ver_record = 0;
    };

    int loaded_version(db_address vob, uint32_t dbid, uint32_t mtype, Loaded* out) {
        int status = read_by_dbid(OBJ_DBID_KEY, VNS_DB_OBJ, vob, dbid, &out->obj);
        if (status == 0) status = read_by_dbid(VER_KEY, VNS_DB_VER, vob, dbid, &out->ver, &out->ver_record);
        if (status == 0 && mtype == VNS_MTYPE_DIR_VER)
            status = read_by_dbid(DIR_VER_KEY, VNS_DB_DIR_VER, vob, dbid, &out->dir);
        if (status != 0) return status;
        // Its element, when it has joined one.
        int st = dt_crset(&out->ver_record, &view_db_task, VDB);
        if (st == S_OKAY) st = dt_ismember(ELEM_VER_SET, &view_db_task, VDB);
        if (st == S_EOS) return 0;
        db_address elem = 0;
        vns_db_elem rec;
        vns_db_obj obj;
        status = engine(st, "D_ISMEMBER");
        if (status == 0) status = engine(dt_setmr(ELEM_VER_SET, &view_db_task, VDB), "D_SETMR");
        if (status == 0) status = engine(dt_csoget(ELEM_VER_SET, &elem, &view_db_task, VDB), "D_CSOGET");
        if (status == 0) status = ostrela_db_read_at(elem, &rec, DUMP);
        if (status == 0) status = read_by_dbid(OBJ_DBID_KEY, VNS_DB_OBJ, vob, rec.dbid, &obj);
        if (status == 0) out->elem_oid = obj.oid;
        return status;
    }

    // A VOB's root directory version, then the tree below it, each
    // directory's entries after the directory's own.
    int tree(db_address vob, uint32_t root) {
        Loaded dir;
        int status = loaded_version(vob, root, VNS_MTYPE_DIR_VER, &dir);
        if (status != 0) return skip(status, "a VOB's root directory");
        // Its own entry, the one without a parent.
        std::vector<db_address> names;
        vns_db_dir_ver_ent ent{};
        ent.scope = AUTOMATIC_LOAD_SCOPE_OID;
        ent.valid = 1;
        status = engine(dt_crset(&dir.ver_record, &view_db_task, VDB), "D_CRSET");
        if (status == 0) status = ostrela_db_collect_members(VER_DIR_ENT_SET, names, DUMP);
        for (size_t i = 0; status == 0 && i < names.size(); ++i) {
            vns_db_dir_ver_ent candidate;
            status = ostrela_db_read_at(names[i], &candidate, DUMP);
            if (status == 0 && candidate.parent == 0) {
                ent = candidate;
                break;
            }
        }
        if (status != 0) return skip(status, "a VOB's root directory");
        Line line("Vns-Root-Dir");
        line.id(vob_uuid(vob)).id(dir.elem_oid).id(dir.obj.oid).id(ent.scope).hex(ent.gn);
        line.hex(dir.ver.time_sec).hex(dir.ver.time_usec).hex(ent.valid).hex(dir.dir.rddir_done);
        line.hex(dir.ver.stale).hex(dir.dir.saved).block(object_status(dir.obj));
        if ((status = files_.write(line)) != 0) return status;

        std::deque<uint32_t> queue{root};
        while (status == 0 && !queue.empty()) {
            uint32_t next = queue.front();
            queue.pop_front();
            status = directory(vob, next, queue);
        }
        return status;
    }

    int directory(db_address vob, uint32_t dbid, std::deque<uint32_t>& queue) {
        vns_db_obj parent;
        db_address record = 0;
        std::vector<db_address> entries;
        int status = read_by_dbid(OBJ_DBID_KEY, VNS_DB_OBJ, vob, dbid, &parent);
        if (status == 0) status = ostrela_db_need_by_dbid(DIR_VER_KEY, VNS_DB_DIR_VER, vob, dbid, DUMP, &record);
        if (status == 0) status = ostrela_db_collect_members(DIR_VER_ENT_SET, entries, DUMP);
        if (status != 0) return skip(status, "a loaded directory's names");
        for (size_t i = 0; status == 0 && i < entries.size(); ++i)
            status = entry(vob, parent.oid, entries[i], queue);
        return status;
    }

    int entry(db_address vob, const qel_oid_s& parent, db_address at, std::deque<uint32_t>& queue) {
        vns_db_dir_ver_ent ent;
        char name[OSTREL_DB_NAME_BUF];
        int status = ostrela_db_read_at(at, &ent, DUMP);
        if (status == 0) status = ostrela_db_get_dir_ver_ent_pname(vob, at, sizeof name, name);
        if (status != 0) return skip(status, "a loaded name");
        if (ent.mtype == VNS_MTYPE_SLINK) return link(vob, parent, ent, name);
        Loaded ver;
        if ((status = loaded_version(vob, ent.ver, ent.mtype, &ver)) != 0) return skip(status, "a loaded version");
        Line line("Vns-Version");
        line.id(vob_uuid(vob)).id(parent).id(ver.elem_oid).id(ver.obj.oid).id(ent.scope).hex(ent.gn).hex(ent.mtype);
        line.hex(ver.ver.time_sec).hex(ver.ver.time_usec).hex(ent.valid).hex(ver.dir.rddir_done).hex(ver.ver.stale);
        line.hex(ver.dir.saved).hex(uint64_t{ver.ver.size_high} << 32 | ver.ver.size_low);
        line.block(object_status(ver.obj)).text(name, ent.name_len);
        if ((status = files_.write(line)) != 0) return status;
        if (ent.mtype != VNS_MTYPE_DIR_VER) return 0;
        // A directory named more than once is listed from its first name.
        db_address first = 0;
        status = engine(dt_crset(&ver.ver_record, &view_db_task, VDB), "D_CRSET");
        if (status == 0) status = engine(dt_setor(VER_DIR_ENT_SET, &view_db_task, VDB), "D_SETOR");
        if (status == 0) status = engine(dt_findfm(VER_DIR_ENT_SET, &view_db_task, VDB), "D_FINDFM");
        if (status == 0) status = engine(dt_crget(&first, &view_db_task, VDB), "D_CRGET");
        if (status != 0) return skip(status, "a loaded directory");
        if (first == at) queue.push_back(ent.ver);
        return 0;
    }

    int link(db_address vob, const qel_oid_s& parent, const vns_db_dir_ver_ent& ent, const char* name) {
        vns_db_obj obj;
        vns_db_slink rec;
        db_address record = 0;
        int status = read_by_dbid(OBJ_DBID_KEY, VNS_DB_OBJ, vob, ent.ver, &obj);
        if (status == 0) status = read_by_dbid(SLINK_KEY, VNS_DB_SLINK, vob, ent.ver, &rec, &record);
        std::string text(rec.text, std::min<size_t>(rec.text_len, SLINK_TEXT_ROOM));
        if (status == 0 && rec.text_len > SLINK_TEXT_ROOM) {
            std::string rest(rec.text_len - SLINK_TEXT_ROOM, '\0');
            status = ostrela_db_bytes_read(record, rec.bytes_dba, &rest[0], rest.size());
            text += rest;
        }
        if (status != 0) return skip(status, "a loaded link");
        Line line("Vns-Slink");
        line.id(vob_uuid(vob)).id(parent).id(obj.oid).id(ent.scope).hex(ent.gn).hex(rec.time_sec).hex(rec.time_usec);
        line.hex(ent.valid).block(object_status(obj)).text(name, ent.name_len).text(text);
        return files_.write(line);
    }

    DumpFiles files_;
    std::string* error_;
    std::unordered_map<db_address, qel_uuid_s> vob_uuids_;
    std::vector<std::pair<db_address, uint32_t>> roots_;
};

} // namespace

int ostrela_db_write_dump(size_t file_limit, std::string* error) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrela_db_write_dump");
    error->clear();
    int status = ostrela_db_trans_start(0);
    if (status != 0) {
        *error = std::string("the view database cannot be read: ") + qel_strerror(status);
        return status;
    }
    Dumper dumper(file_limit, error);
    status = dumper.run();
    ostrela_db_trans_end(0);
    return status;
}
