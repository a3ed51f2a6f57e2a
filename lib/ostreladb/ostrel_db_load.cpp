// The dump-file loader: a new, empty database in "db" gets every record of
// the dump files back, in one write transaction.
//
// The fields of a dump file are read by a reader of our own rather than with
// the stream's scanning functions: a length or count is checked against its
// bound and against what is left of the file before anything is read or
// allocated, and a number that does not fit its field is a damaged record,
// never a wrapped value.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "lib/core/ostrelagent_trace.h"
#include "lib/ostreladb/ostrel_db.h"
#include "lib/ostreladb/ostrel_db_dump.h"
#include "lib/ostreladb/ostrel_db_record.h"
#include "lib/ostreladb/ostrel_db_report.h"
#include "lib/ostreladb/ostrel_db_scope.h"
#include "lib/ostreladb/ostrel_db_session.h"
#include "lib/ostreladb/ostrel_db_vns.h"
#include "lib/ostreladb/ostrel_storage.h"

namespace {

// The longest words that hold an id or an identity.
constexpr size_t ID_WORD_MAX = 128;
// The fewest bytes an id takes in a list: its text and a blank.
constexpr size_t ID_FIELD_MIN = 37;

// Reads the fields of one dump file, through a buffer of its own.
class DumpReader {
public:
    DumpReader() : buf_(1 << 16) {}
    ~DumpReader() { close(); }
    DumpReader(const DumpReader&) = delete;
    DumpReader& operator=(const DumpReader&) = delete;

    // 0, or the errno of the failed open.
    int open(const std::string& name) {
        close();
        name_ = name;
        fd_ = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0) return errno;
        struct stat st;
        if (::fstat(fd_, &st) != 0) {
            int error = errno;
            close();
            return error;
        }
        size_ = st.st_size;
        at_ = 0;
        begin_ = end_ = 0;
        error_ = 0;
        return 0;
    }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    const std::string& name() const { return name_; }
    // The errno of a failed read (0: none).
    int failed() const { return error_; }

    // The next keyword; false at the end of the file. A word longer than
    // any keyword is kept whole (it names none).
    bool keyword(std::string* out) {
        if (!skip_blanks()) return false;
        out->clear();
        for (int c = peek(); c != EOF && !std::isspace(c); c = peek()) *out += static_cast<char>(get());
        return true;
    }

    // A hex number that fits `max`, with no prefix.
    bool hex(uint64_t max, uint64_t* out) {
        if (!skip_blanks()) return false;
        uint64_t value = 0;
        int digits = 0;
        for (int c = peek(); std::isxdigit(c); c = peek()) {
            uint64_t d = static_cast<uint64_t>(std::isdigit(c) ? c - '0' : std::tolower(c) - 'a' + 10);
            if (value > (max - d) / 16) return false;
            value = value * 16 + d;
            ++digits;
            get();
        }
        *out = value;
        return digits > 0 && delimited();
    }
    bool hex32(uint32_t* out) {
        uint64_t value = 0;
        if (!hex(0xFFFFFFFFu, &value)) return false;
        *out = static_cast<uint32_t>(value);
        return true;
    }
    bool hex64(uint64_t* out) { return hex(UINT64_MAX, out); }
    // A decimal number that fits an int, an optional '-' before it.
    bool dec(int* out) {
        if (!skip_blanks()) return false;
        bool negative = peek() == '-';
        if (negative) get();
        uint64_t value = 0;
        int digits = 0;
        for (int c = peek(); std::isdigit(c); c = peek()) {
            value = value * 10 + static_cast<uint64_t>(c - '0');
            if (value > 0x80000000u) return false;
            ++digits;
            get();
        }
        if (digits == 0 || (!negative && value > 0x7FFFFFFF) || !delimited()) return false;
        *out = negative ? -static_cast<int>(value - 1) - 1 : static_cast<int>(value);
        return true;
    }
    bool uuid(qel_uuid_s* out) { return word(ID_WORD_MAX) && qel_str_to_uuid(word_.c_str(), out) == 0; }
    bool oid(qel_oid_s* out) { return word(ID_WORD_MAX) && qel_str_to_oid(word_.c_str(), out) == 0; }
    bool sid(credutl_sid_t* out) { return word(CREDUTL_SID_STR_MAX) && credutl_str_to_sid(word_.c_str(), out) == 0; }
    // A counted string of at most `max` bytes: its length (blanks before
    // it), ':' right after the digits, then exactly that many bytes. A text
    // (a name, a path) holds no NUL; a record's data may.
    bool text(size_t max, std::string* out, bool data = false) {
        if (!skip_blanks()) return false;
        size_t len = 0;
        int digits = 0;
        for (int c = peek(); std::isdigit(c); c = peek()) {
            len = len * 10 + static_cast<size_t>(c - '0');
            if (len > max) return false;
            ++digits;
            get();
        }
        if (digits == 0 || get() != ':' || len > left()) return false;
        out->clear();
        out->reserve(len);
        while (out->size() < len) {
            if (begin_ == end_ && !fill()) return false;
            size_t take = std::min(len - out->size(), end_ - begin_);
            out->append(buf_.data() + begin_, take);
            begin_ += take;
            at_ += static_cast<off_t>(take);
        }
        return data || out->find('\0') == std::string::npos;
    }
    bool block(qel_fstat_db_s* out) {
        uint32_t words[OSTREL_DB_DUMP_FSTAT_WORDS];
        for (uint32_t& w : words)
            if (!hex32(&w)) return false;
        ostrela_db_fstat_from_words(words, out);
        return true;
    }
    // A count of a list whose items take at least `item_min` bytes each:
    // more than what is left of the file could hold is damage.
    bool count(size_t item_min, uint32_t* out) {
        return hex32(out) && uint64_t{*out} * item_min <= static_cast<uint64_t>(left());
    }
    size_t left() const { return at_ < size_ ? static_cast<size_t>(size_ - at_) : 0; }

private:
    // More bytes into the buffer; false at the end of the file or after a
    // failed read.
    bool fill() {
        begin_ = end_ = 0;
        for (;;) {
            ssize_t n = ::read(fd_, buf_.data(), buf_.size());
            if (n > 0) {
                end_ = static_cast<size_t>(n);
                return true;
            }
            if (n == 0) return false;
            if (errno != EINTR) {
                error_ = errno;
                return false;
            }
        }
    }
    int peek() {
        if (begin_ == end_ && !fill()) return EOF;
        return static_cast<unsigned char>(buf_[begin_]);
    }
    int get() {
        int c = peek();
        if (c != EOF) {
            ++begin_;
            ++at_;
        }
        return c;
    }
    // Skips white space; false at the end of the file.
    bool skip_blanks() {
        int c = peek();
        while (c != EOF && std::isspace(c)) {
            get();
            c = peek();
        }
        return c != EOF;
    }
    // A number ends at white space or at the end of the file.
    bool delimited() {
        int c = peek();
        return c == EOF || std::isspace(c);
    }
    // The next word, of at most `max` characters, into word_.
    bool word(size_t max) {
        if (!skip_blanks()) return false;
        word_.clear();
        for (int c = peek(); c != EOF && !std::isspace(c); c = peek()) {
            if (word_.size() == max) return false;
            word_ += static_cast<char>(get());
        }
        return true;
    }

    int fd_ = -1;
    std::string name_;
    std::vector<char> buf_;
    size_t begin_ = 0, end_ = 0;
    off_t size_ = 0;
    off_t at_ = 0;
    int error_ = 0;
    std::string word_;
};

// What a record's handler made of it.
enum Outcome { LOADED = 0, SKIPPED = 1, FAILED = 2 };

struct Load {
    DumpReader in;
    int index = 0;      // the file read now
    int record = 1;     // its record counter
    uint32_t dump_id = 0;
    bool end = false;   // `Eof` was read
    // The VOBs loaded, and the directory version the last namespace record
    // went into (a directory's records come one after the other).
    std::vector<std::pair<qel_uuid_s, uint32_t>> vobs;
    uint32_t last_vob = 0, last_parent = 0;
    qel_oid_s last_parent_oid = QEL_OID_NULL;
};

template <typename Id>
std::string text_of(const Id& id) {
    return ostrela_db_id_text(id);
}

template <typename... Args>
void kesto_message(int kind, int index, Args... args) {
    imsg_print(kind, &_ostreladb_lib_kesto_db_msg_table, index, args...);
}

// A record that cannot be read: the load fails.
Outcome undecodable(const Load& load) {
    kesto_message(IMSG_KIND_ERR, KDB_MSG_LOAD_DECODE, load.record);
    return FAILED;
}

// The warning or error "Unable to load name %s->%s", which the namespace
// records share; a warning skips the record, an error fails the load.
Outcome not_loaded(Outcome outcome, const std::string& what, const std::string& detail) {
    kesto_message(outcome == SKIPPED ? IMSG_KIND_WARN : IMSG_KIND_ERR, KDB_MSG_LOAD_NAME, what.c_str(), detail.c_str());
    return outcome;
}

bool is_null(const qel_oid_s& oid) { return qel_oid_eq(&oid, &QEL_OID_NULL); }

// The VOB record's handle of a replica: 1002 when the dump made none.
int vob_of(Load& load, const qel_uuid_s& uuid, uint32_t* vob) {
    for (const auto& known : load.vobs) {
        if (qel_uuid_eq(&known.first, &uuid)) {
            *vob = known.second;
            return 0;
        }
    }
    int status = ostrela_db_vob_lookup(&uuid, vob);
    if (status == 0) load.vobs.emplace_back(uuid, *vob);
    return status;
}

struct timeval time_of(uint32_t sec, uint32_t usec) {
    struct timeval tv;
    tv.tv_sec = sec;
    tv.tv_usec = usec;
    return tv;
}

// ---- handlers --------------------------------------------------------------------------

Outcome load_ver(Load& load) {
    int format = 0, number = 0;
    uint32_t id = 0;
    if (!load.in.dec(&format) || !load.in.dec(&number) || !load.in.hex32(&id)) return undecodable(load);
    if (load.index == 0) load.dump_id = id;
    if (number != load.index || id != load.dump_id) {
        kesto_message(IMSG_KIND_ERR, KDB_MSG_LOAD_FILE_MISMATCH, load.index, load.dump_id, number, id);
        return undecodable(load);
    }
    return LOADED;
}

Outcome load_vob(Load& load) {
    qel_uuid_s uuid;
    std::string location;
    uint32_t setwork = 0, hlink = 0;
    if (!load.in.uuid(&uuid) || !load.in.text(OSTREL_DB_DUMP_TEXT_MAX, &location) || !load.in.hex32(&setwork) ||
        !load.in.hex32(&hlink))
        return undecodable(load);
    auto refuse = [&](Outcome outcome) {
        kesto_message(outcome == SKIPPED ? IMSG_KIND_WARN : IMSG_KIND_ERR, KDB_MSG_LOAD_VOB, text_of(uuid).c_str(),
                      location.c_str());
        return outcome;
    };
    if (qel_uuid_eq(&uuid, &QEL_UUID_NULL)) return refuse(SKIPPED);
    uint32_t dbid = 0;
    int status = ostrela_db_vob_create(&uuid, location.c_str(), &dbid);
    if (status == QEL_ST_EXISTS) return refuse(SKIPPED);
    if (status != 0) return refuse(FAILED);
    if (setwork != 0 && ostrela_db_vob_set_setwork_flag(dbid, 1) != 0) return FAILED;
    if (hlink != 0 && ostrela_db_vob_set_hlink_flag(dbid, 1) != 0) return FAILED;
    return LOADED;
}

// A VOB's dbid counter as the dumped database had it. Loaded objects are
// numbered anew, above every number handed out before, so that a handle
// the kernel kept across the rebuild names no object (it is stale) rather
// than another one.
Outcome load_vob_dbid(Load& load) {
    qel_uuid_s uuid;
    uint32_t next = 0;
    if (!load.in.uuid(&uuid) || !load.in.hex32(&next)) return undecodable(load);
    uint32_t vob = 0;
    db_address dba = 0;
    db_vob rec;
    int status = vob_of(load, uuid, &vob);
    if (status == 0) status = ostrela_db_vob_handle(vob, &dba);
    if (status == 0) status = ostrela_db_read_at(dba, &rec, "LOAD_VOB_DBID");
    if (status == 0 && next > rec.next_dbid)
        status = ostrela_db_engine(dt_crwrite(VOB_NEXT_DBID, &next, &view_db_task, VDB), "D_CRWRITE", "LOAD_VOB_DBID");
    return status == 0 ? LOADED : not_loaded(SKIPPED, text_of(uuid), "vob-dbid");
}

Outcome load_setwork(Load& load) {
    uint32_t n = 0;
    if (!load.in.count(ID_FIELD_MIN, &n)) return undecodable(load);
    std::vector<qel_uuid_s> uuids(n);
    for (qel_uuid_s& uuid : uuids)
        if (!load.in.uuid(&uuid)) return undecodable(load);
    for (const qel_uuid_s& uuid : uuids) {
        uint32_t dbid = 0;
        int status = vob_of(load, uuid, &dbid);
        if (status == QEL_ST_NOT_FOUND) status = ostrela_db_vob_create(&uuid, "Unknown:created_by_reformat", &dbid);
        if (status == 0) status = ostrela_db_vob_set_setwork_flag(dbid, 1);
        if (status != 0) {
            kesto_message(IMSG_KIND_ERR, KDB_MSG_LOAD_SETWORK);
            return FAILED;
        }
    }
    return LOADED;
}

// The file type an inode of `kind` must have (0: any of 1 to 6), or -1 for
// a kind a view database does not hold.
int inode_ftype(uint32_t kind) {
    switch (kind) {
    case 2:
    case 4:
        return QEL_FTYPE_DIR;
    case 5:
        return QEL_FTYPE_REG;
    case 7:
        return QEL_FTYPE_LNK;
    case 0x13:
    case 0x15:
    case 0x16:
    case 0x17:
    case 0x1a:
        return 0;
    default:
        return -1;
    }
}

Outcome load_inode(Load& load) {
    qel_uuid_s vob_uuid;
    qel_oid_s oid;
    uint32_t kind = 0, ftype = 0, mode = 0;
    qel_fstat_db_s fstat{};
    uint64_t size = 0;
    uint32_t times[8];
    std::string text;
    bool ok = load.in.uuid(&vob_uuid) && load.in.oid(&oid) && load.in.hex32(&kind) && load.in.hex32(&ftype) &&
              load.in.hex32(&mode) && load.in.sid(&fstat.usid) && load.in.sid(&fstat.gsid) && load.in.hex64(&size);
    for (uint32_t& t : times) ok = ok && load.in.hex32(&t);
    if (!ok || !load.in.text(OSTREL_DB_DUMP_TEXT_MAX, &text)) return undecodable(load);
    const std::string name = text_of(oid);
    auto skip = [&] {
        kesto_message(IMSG_KIND_WARN, KDB_MSG_LOAD_INODE, name.c_str());
        return SKIPPED;
    };
    if (is_null(oid)) return skip();
    const uint32_t unknown_mode = 0xFFFFFFFFu;
    if (mode != unknown_mode && (mode & 0x7ffff000u) != 0) {
        kesto_message(IMSG_KIND_WARN, KDB_MSG_LOAD_MODE, static_cast<long>(mode));
        return skip();
    }
    int want = inode_ftype(kind);
    if (want < 0) {
        kesto_message(IMSG_KIND_WARN, KDB_MSG_LOAD_MTYPE, static_cast<long>(kind));
        return SKIPPED;
    }
    if ((want != 0 && ftype != static_cast<uint32_t>(want)) || (want == 0 && (ftype < 1 || ftype > 6))) {
        kesto_message(IMSG_KIND_WARN, KDB_MSG_LOAD_FTYPE, static_cast<int>(ftype));
        return SKIPPED;
    }
    bool directory = ftype == QEL_FTYPE_DIR;
    if (want == 0) {
        if (mode == unknown_mode) {
            kesto_message(IMSG_KIND_WARN, KDB_MSG_LOAD_DIR_MODE, static_cast<long>(mode));
            return SKIPPED;
        }
        // A view-private directory starts with the link to itself; every
        // name loaded into it adds to its size and links.
        if (directory) {
            fstat.nlink = 1;
            size = 0x59;
        }
    } else if (directory) {
        size = 0;
    }
    // A container name that leaves the pool is never used.
    if (!text.empty() && ftype != QEL_FTYPE_LNK && validate_pname(text.c_str()) != 0) return skip();
    uint32_t vob = 0;
    if (vob_of(load, vob_uuid, &vob) != 0) {
        kesto_message(IMSG_KIND_WARN, KDB_MSG_LOAD_NO_VOB, text_of(vob_uuid).c_str());
        return SKIPPED;
    }
    fstat.type = ftype;
    fstat.mode = mode;
    fstat.size = size;
    fstat.atime = {times[0], times[1]};
    fstat.mtime = {times[2], times[3]};
    fstat.ctime = {times[4], times[5]};
    fstat.xtime = {times[6], times[7]};
    uint32_t dbid = 0;
    int status = ostrela_db_inode_create(vob, &oid, &fstat, kind, &dbid, nullptr);
    if (status == QEL_ST_EXISTS) return SKIPPED;
    if (status != 0) {
        kesto_message(IMSG_KIND_ERR, KDB_MSG_LOAD_INODE, name.c_str());
        return FAILED;
    }
    if (directory && ostrela_db_dir_create(dbid) != 0) return FAILED;
    if (!text.empty() && ostrela_db_inode_write_text(dbid, text.c_str()) != 0) return FAILED;
    return LOADED;
}

Outcome load_name(Load& load) {
    qel_uuid_s vob_uuid;
    qel_oid_s parent, target, hijack1, hijack2;
    std::string name;
    uint32_t keep = 0, detached = 0, hijacked = 0;
    if (!load.in.uuid(&vob_uuid) || !load.in.oid(&parent) || !load.in.text(OSTREL_DB_DUMP_NAME_MAX, &name) ||
        !load.in.oid(&target) || !load.in.hex32(&keep) || !load.in.hex32(&detached) || !load.in.hex32(&hijacked) ||
        !load.in.oid(&hijack1) || !load.in.oid(&hijack2))
        return undecodable(load);
    uint32_t state = (keep ? DIR_ENT_STATE_KEEP : 0) | (detached ? DIR_ENT_STATE_DETACHED : 0) |
                     (hijacked ? DIR_ENT_STATE_HIJACKED : 0);
    const std::string where = text_of(parent);
    // The directory: a directory inode loaded before.
    uint32_t vob = 0, dir = 0;
    int status = vob_of(load, vob_uuid, &vob);
    if (status == 0) status = ostrela_db_inode_lookup(vob, &parent, &dir);
    if (status == 0) status = ostrela_db_dir_lookup(dir);
    if (status == QEL_ST_NOT_FOUND) {
        kesto_message(IMSG_KIND_WARN, KDB_MSG_LOAD_NO_DIR, where.c_str());
        return not_loaded(SKIPPED, where, name);
    }
    if (status != 0) return FAILED;
    uint32_t object = 0;
    if (!is_null(target) && (status = ostrela_db_inode_lookup(vob, &target, &object)) != 0) {
        if (status != QEL_ST_NOT_FOUND) return FAILED;
        kesto_message(IMSG_KIND_WARN, KDB_MSG_LOAD_NO_OBJECT, text_of(target).c_str());
        return not_loaded(SKIPPED, where, name);
    }
    uint32_t cookie = 0;
    status = ostrela_db_link(dir, name.c_str(), object, state, nullptr, nullptr, 1, nullptr, &cookie);
    if (status == QEL_ST_INVALID || status == QEL_ST_TOO_LONG || status == QEL_ST_EXISTS)
        return not_loaded(SKIPPED, where, name);
    if (status != 0) return FAILED;
    if ((!is_null(hijack1) || !is_null(hijack2)) && ostrela_db_hijack(dir, name.c_str(), &hijack1, &hijack2) != 0)
        return not_loaded(SKIPPED, where, name);
    return LOADED;
}

Outcome load_cr(Load& load) {
    uint32_t format = 0, n = 0, m = 0, k = 0;
    std::string data;
    if (!load.in.hex32(&format) || !load.in.text(load.in.left(), &data, true) || !load.in.count(2 * ID_FIELD_MIN, &n))
        return undecodable(load);
    std::vector<qel_uuid_s> uuids(n);
    std::vector<qel_oid_s> dos(n);
    for (uint32_t i = 0; i < n; ++i)
        if (!load.in.uuid(&uuids[i]) || !load.in.oid(&dos[i])) return undecodable(load);
    if (!load.in.count(ID_FIELD_MIN, &m)) return undecodable(load);
    std::vector<qel_oid_s> used(m);
    for (qel_oid_s& oid : used)
        if (!load.in.oid(&oid)) return undecodable(load);
    if (!load.in.count(ID_FIELD_MIN, &k)) return undecodable(load);
    std::vector<qel_uuid_s> vobs(k);
    for (qel_uuid_s& uuid : vobs)
        if (!load.in.uuid(&uuid)) return undecodable(load);
    _qel_cr_compressed_t* cr = nullptr;
    if (qel_cr_vx_to_cr_compressed(format, data.data(), data.size(), &cr) != 0) return undecodable(load);
    const std::string name = n > 0 ? text_of(dos[0]) : std::string();
    auto refuse = [&](int status) {
        ostrela_db_cr_free(cr);
        bool skip = status == QEL_ST_INVALID || status == QEL_ST_NOT_FOUND || status == QEL_ST_EXISTS;
        kesto_message(skip ? IMSG_KIND_WARN : IMSG_KIND_ERR, KDB_MSG_LOAD_CR, name.c_str());
        return skip ? SKIPPED : FAILED;
    };
    // Derived objects whose inodes are gone keep their record while another
    // record uses it; the check after the load drops the unreferenced ones.
    int status = ostrela_db_cr_create(dos.data(), uuids.data(), static_cast<int>(n), used.data(), static_cast<int>(m),
                                      cr, 0, 1);
    if (status != 0) return refuse(status);
    for (const qel_uuid_s& uuid : vobs) {
        status = ostrela_db_cr_add_vob_ref(dos.data(), static_cast<int>(n), &uuid);
        if (status == QEL_ST_EXISTS) return refuse(status);
        if (status != 0) return refuse(QEL_ST_INTERNAL);
    }
    ostrela_db_cr_free(cr);
    return LOADED;
}

Outcome load_vns_view(Load& load) {
    qel_uuid_s uuid;
    uint32_t gn = 0, initial = 0;
    if (!load.in.uuid(&uuid) || !load.in.hex32(&gn) || !load.in.hex32(&initial)) return undecodable(load);
    vns_db_view rec;
    int status = ostrela_db_create_vns_view(&uuid, gn);
    if (status == 0) status = ostrela_db_engine(dt_recfrst(VNS_DB_VIEW, &view_db_task, VDB), "D_RECFRST", "LOAD_VIEW");
    if (status == 0) status = ostrela_db_engine(dt_recread(&rec, &view_db_task, VDB), "D_RECREAD", "LOAD_VIEW");
    if (status != 0) return not_loaded(FAILED, text_of(uuid), "vns-view");
    rec.initial_gn = initial;
    if (ostrela_db_engine(dt_recwrite(&rec, &view_db_task, VDB), "D_RECWRITE", "LOAD_VIEW") != 0)
        return not_loaded(SKIPPED, text_of(uuid), "vns-view");
    return LOADED;
}

Outcome load_lr_scope(Load& load) {
    qel_oid_s oid;
    uint32_t gn = 0, completed = 0, spare = 0, state = 0;
    std::string name;
    if (!load.in.oid(&oid) || !load.in.hex32(&gn) || !load.in.hex32(&completed) || !load.in.hex32(&spare) ||
        !load.in.hex32(&state) || !load.in.text(OSTREL_DB_DUMP_TEXT_MAX, &name))
        return undecodable(load);
    if (spare > 0xFFFF || state > 0xFFFF) return undecodable(load);
    const char* const object = "LOAD_LR_SCOPE";
    vns_db_lr_scope rec;
    // The scope just made is the current record (also one of the null oid,
    // which no look-up finds).
    int status = ostrela_db_create_lr_scope(&oid, gn, name.c_str());
    if (status == 0) status = ostrela_db_engine(dt_recread(&rec, &view_db_task, VDB), "D_RECREAD", object);
    if (status != 0) return not_loaded(FAILED, text_of(oid), name);
    rec.completed_gn = completed;
    rec.spare = static_cast<uint16_t>(spare);
    rec.state = static_cast<uint16_t>(state);
    if (ostrela_db_engine(dt_recwrite(&rec, &view_db_task, VDB), "D_RECWRITE", object) != 0)
        return not_loaded(SKIPPED, text_of(oid), name);
    return LOADED;
}

Outcome load_element(Load& load) {
    qel_uuid_s vob_uuid;
    qel_oid_s oid, checkout;
    uint32_t kind = 0, sec = 0, usec = 0, flag = 0;
    qel_fstat_db_s fstat;
    if (!load.in.uuid(&vob_uuid) || !load.in.oid(&oid) || !load.in.oid(&checkout) || !load.in.hex32(&kind) ||
        !load.in.hex32(&sec) || !load.in.hex32(&usec) || !load.in.hex32(&flag) || !load.in.block(&fstat) ||
        !vns_is_element(kind))
        return undecodable(load);
    uint32_t vob = 0, dbid = 0;
    struct timeval time = time_of(sec, usec);
    int status = vob_of(load, vob_uuid, &vob);
    if (status == 0)
        status = ostrela_db_create_vns_elem(vob, &oid, &time, &fstat, kind, static_cast<int>(flag), &dbid);
    if (status != 0) return not_loaded(FAILED, text_of(oid), "element");
    if (!is_null(checkout)) ostrela_db_elem_set_checkedout(vob, dbid, &checkout, static_cast<int>(flag));
    return LOADED;
}

// The flags of a loaded directory version, version or link.
struct Flags {
    uint32_t valid = 1, done = 0, stale = 0, saved = 0;
    bool plain() const { return valid != 0 && done == 0 && stale == 0 && saved == 0; }
    // The directory record keeps the readdir flags in 16 bits.
    bool fit() const { return done <= 0xFFFF && saved <= 0xFFFF; }
};

Outcome set_flags(uint32_t vob, uint32_t dbid, uint32_t parent, const std::string& name, const Flags& flags,
                  const std::string& what) {
    if (flags.plain()) return LOADED;
    db_address vob_dba = ostrela_db_dbid2dba(vob), entry = 0;
    int found = 0, status = 0;
    if (parent != 0) status = ostrela_db_dir_ver_ent_lookup_name(vob_dba, parent, name.c_str(), &found, &entry);
    if (status == 0)
        status = ostrela_db_update_vns_ver_flags(vob_dba, dbid, entry, static_cast<int>(flags.valid),
                                                 static_cast<int>(flags.done), static_cast<int>(flags.stale),
                                                 static_cast<int>(flags.saved));
    return status == 0 ? LOADED : not_loaded(SKIPPED, what, name);
}

Outcome load_root_dir(Load& load) {
    qel_uuid_s vob_uuid;
    qel_oid_s elem, ver, scope;
    uint32_t gn = 0, sec = 0, usec = 0;
    Flags flags;
    qel_fstat_db_s fstat;
    if (!load.in.uuid(&vob_uuid) || !load.in.oid(&elem) || !load.in.oid(&ver) || !load.in.oid(&scope) ||
        !load.in.hex32(&gn) || !load.in.hex32(&sec) || !load.in.hex32(&usec) || !load.in.hex32(&flags.valid) ||
        !load.in.hex32(&flags.done) || !load.in.hex32(&flags.stale) || !load.in.hex32(&flags.saved) ||
        !load.in.block(&fstat) || !flags.fit())
        return undecodable(load);
    uint32_t vob = 0, dbid = 0;
    struct timeval time = time_of(sec, usec);
    int status = vob_of(load, vob_uuid, &vob);
    if (status == 0) status = ostrela_db_create_root_dir(vob, &ver, &elem, &time, &fstat, &scope, gn, 0, &dbid);
    if (status != 0) return not_loaded(FAILED, text_of(ver), "root-dir");
    return set_flags(vob, dbid, 0, "root-dir", flags, text_of(ver));
}

// The VOB and the parent directory version a namespace record names.
int parent_of(Load& load, const qel_uuid_s& vob_uuid, const qel_oid_s& parent_oid, uint32_t* vob,
              uint32_t* parent) {
    int status = vob_of(load, vob_uuid, vob);
    if (status != 0) return status;
    if (load.last_parent != 0 && load.last_vob == *vob && qel_oid_eq(&load.last_parent_oid, &parent_oid)) {
        *parent = load.last_parent;
        return 0;
    }
    status = ostrela_db_vns_ver_lookup(*vob, &parent_oid, parent);
    // A stale directory is a parent all the same.
    if (status == QEL_ST_STALE_GENERATION) status = 0;
    if (status == 0) {
        load.last_vob = *vob;
        load.last_parent = *parent;
        load.last_parent_oid = parent_oid;
    }
    return status;
}

// A version or link `oid` loaded as `name` in its parent by `create`
// (VOB, parent, out dbid), then its flags.
template <typename Create>
Outcome load_named(Load& load, const qel_uuid_s& vob_uuid, const qel_oid_s& parent_oid, const qel_oid_s& oid,
                   const std::string& name, const Flags& flags, Create create) {
    uint32_t vob = 0, parent = 0, dbid = 0;
    int status = parent_of(load, vob_uuid, parent_oid, &vob, &parent);
    if (status == 0) status = create(vob, parent, &dbid);
    if (status != 0) return not_loaded(FAILED, text_of(oid), name);
    return set_flags(vob, dbid, parent, name, flags, text_of(oid));
}

Outcome load_version(Load& load) {
    qel_uuid_s vob_uuid;
    qel_oid_s parent_oid, elem, ver, scope;
    uint32_t gn = 0, kind = 0, sec = 0, usec = 0;
    Flags flags;
    uint64_t size = 0;
    qel_fstat_db_s fstat;
    std::string name;
    if (!load.in.uuid(&vob_uuid) || !load.in.oid(&parent_oid) || !load.in.oid(&elem) || !load.in.oid(&ver) ||
        !load.in.oid(&scope) || !load.in.hex32(&gn) || !load.in.hex32(&kind) || !load.in.hex32(&sec) ||
        !load.in.hex32(&usec) || !load.in.hex32(&flags.valid) || !load.in.hex32(&flags.done) ||
        !load.in.hex32(&flags.stale) || !load.in.hex32(&flags.saved) || !load.in.hex64(&size) ||
        !load.in.block(&fstat) || !load.in.text(OSTREL_DB_DUMP_NAME_MAX, &name) || !flags.fit() ||
        !vns_is_version(kind))
        return undecodable(load);
    fstat.size = size;
    struct timeval time = time_of(sec, usec);
    return load_named(load, vob_uuid, parent_oid, ver, name, flags, [&](uint32_t vob, uint32_t parent, uint32_t* dbid) {
        return ostrela_db_create_vns_ver(vob, parent, &ver, &elem, kind, &time, name.c_str(), &fstat, &scope, gn, 0,
                                         dbid, nullptr, nullptr);
    });
}

Outcome load_slink(Load& load) {
    qel_uuid_s vob_uuid;
    qel_oid_s parent_oid, oid, scope;
    uint32_t gn = 0, sec = 0, usec = 0;
    Flags flags;
    qel_fstat_db_s fstat;
    std::string name, text;
    if (!load.in.uuid(&vob_uuid) || !load.in.oid(&parent_oid) || !load.in.oid(&oid) || !load.in.oid(&scope) ||
        !load.in.hex32(&gn) || !load.in.hex32(&sec) || !load.in.hex32(&usec) || !load.in.hex32(&flags.valid) ||
        !load.in.block(&fstat) || !load.in.text(OSTREL_DB_DUMP_NAME_MAX, &name) ||
        !load.in.text(OSTREL_DB_DUMP_TEXT_MAX, &text))
        return undecodable(load);
    struct timeval time = time_of(sec, usec);
    return load_named(load, vob_uuid, parent_oid, oid, name, flags, [&](uint32_t vob, uint32_t parent, uint32_t* dbid) {
        return ostrela_db_create_vns_slink(vob, parent, &oid, &time, name.c_str(), text.c_str(), &fstat, &scope, gn,
                                           dbid, nullptr);
    });
}

Outcome load_eof(Load& load) {
    load.end = true;
    return LOADED;
}

// The loader's table, searched by exact comparison in this order.
const struct {
    const char* keyword;
    Outcome (*handler)(Load&);
} HANDLERS[] = {
    {"Ver", load_ver},
    {"Vob", load_vob},
    {"Inode", load_inode},
    {"Name", load_name},
    {"Cr", load_cr},
    {"Setwork", load_setwork},
    {"Vob-Dbid", load_vob_dbid},
    {"Vns-View", load_vns_view},
    {"Lr-Scope", load_lr_scope},
    {"Vns-Element", load_element},
    {"Vns-Root-Dir", load_root_dir},
    {"Vns-Version", load_version},
    {"Vns-Slink", load_slink},
    {"Eof", load_eof},
};

// Reads the records of every file until one holds `Eof`; `*skipped` counts
// the records passed over. 0, or 1008 when the load fails.
int load_records(Load& load, int* skipped) {
    for (;;) {
        load.record = 1;
        std::string word;
        while (load.in.keyword(&word)) {
            Outcome outcome = FAILED;
            bool known = false;
            for (const auto& h : HANDLERS) {
                if (word == h.keyword) {
                    known = true;
                    outcome = h.handler(load);
                    break;
                }
            }
            if (!known) outcome = undecodable(load);
            if (outcome == FAILED) return QEL_ST_INTERNAL;
            if (outcome == SKIPPED) ++*skipped;
            ++load.record;
        }
        if (load.in.failed() != 0) {
            ostrela_db_file_message(IMSG_KIND_ERR, QEL_MSG_READ, load.in.name().c_str(), load.in.failed());
            return QEL_ST_INTERNAL;
        }
        if (load.end) return 0;
        ++load.index;
        int error = load.in.open(ostrela_db_dump_file_name(load.index));
        if (error != 0) {
            ostrela_db_file_message(IMSG_KIND_ERR, QEL_MSG_OPEN, load.in.name().c_str(), error);
            return QEL_ST_INTERNAL;
        }
    }
}

// A new, empty database in "db", open. The database lives in its dump from
// here on, whatever the letter said.
int new_database() {
    int status = ostrela_db_close_db();
    if (status == 0) status = ostrela_db_state_file_open();
    if (status == 0 && ostrela_db_state_letter() != 'd') status = ostrela_db_state_change('d');
    if (status == 0) status = ostrela_db_init_schema();
    if (status == 0) status = ostrela_db_open_db(1, OSTREL_DB_DEFAULT_PAGES);
    if (status == 0) status = ostrela_db_init_db();
    return status;
}

} // namespace

int ostrela_db_update_vns_ver_flags(db_address vob, uint32_t dbid, db_address entry, int valid, int done, int stale,
                                    int saved) {
    ostrela_db_trans_write_check();
    int status = 0;
    if (valid == 0) {
        vns_db_dir_ver_ent ent;
        if (entry == 0) status = ostrela_db_need_by_dbid(DIR_VER_ENT_KEY, VNS_DB_DIR_VER_ENT, vob, dbid, "VER_FLAGS", &entry);
        if (status == 0) status = ostrela_db_read_at(entry, &ent, "VER_FLAGS");
        ent.valid = 0;
        if (status == 0) status = ostrela_db_engine(dt_recwrite(&ent, &view_db_task, VDB), "D_RECWRITE", "VER-FLAGS");
    }
    if (status == 0 && (done != 0 || saved != 0)) {
        vns_db_dir_ver dir;
        db_address at = 0;
        status = ostrela_db_need_by_dbid(DIR_VER_KEY, VNS_DB_DIR_VER, vob, dbid, "VER-FLAGS-2", &at);
        if (status == 0) status = ostrela_db_read_at(at, &dir, "VER-FLAGS-2");
        dir.rddir_done = static_cast<uint16_t>(done);
        dir.saved = static_cast<uint16_t>(saved);
        if (status == 0) status = ostrela_db_engine(dt_recwrite(&dir, &view_db_task, VDB), "D_RECWRITE", "VER-FLAGS-2");
    }
    if (status == 0 && stale != 0) {
        vns_db_ver ver;
        db_address at = 0;
        status = ostrela_db_need_by_dbid(VER_KEY, VNS_DB_VER, vob, dbid, "VER-FLAGS-3", &at);
        if (status == 0) status = ostrela_db_read_at(at, &ver, "VER-FLAGS-3");
        ver.stale = static_cast<uint32_t>(stale);
        if (status == 0) status = ostrela_db_engine(dt_recwrite(&ver, &view_db_task, VDB), "D_RECWRITE", "VER-FLAGS-3");
    }
    return status;
}

int ostrela_db_load_db() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrela_db_load_db");
    Load load;
    int error = load.in.open(ostrela_db_dump_file_name(0));
    if (error == ENOENT) return QEL_ST_NO_ENTRY;
    if (error != 0) {
        ostrela_db_file_message(IMSG_KIND_ERR, QEL_MSG_OPEN, load.in.name().c_str(), error);
        return QEL_ST_INTERNAL;
    }
    int status = new_database();
    if (status != 0) return status;
    imsg_print(IMSG_KIND_OK, &_ostreladb_lib_db_utls_msg_table, DBU_MSG_LOADING, view_home.c_str());
    if ((status = ostrela_db_trans_start_int(1, 0)) != 0) {
        ostrela_db_close_db();
        return status;
    }
    int skipped = 0;
    status = load_records(load, &skipped);
    load.in.close();
    // Nothing of a failed load is kept: the dump is loaded again whole.
    if (status != 0) {
        ostrela_db_trans_abort(1);
    } else {
        status = ostrela_db_trans_end(1);
    }
    if (status == 0) {
        ostrela_db_step("loaded");
        status = ostrela_db_sync_files();
    }
    if (status == 0) status = ostrela_db_state_change('i');
    if (status != 0) {
        ostrela_db_close_db();
        return QEL_ST_INTERNAL;
    }
    ostrela_db_step("state-i");
    if (skipped != 0) return 0;
    for (int i = 0; i <= load.index; ++i) {
        std::string name = ostrela_db_dump_file_name(i);
        if (::unlink(name.c_str()) != 0) ostrela_db_file_message(IMSG_KIND_WARN, QEL_MSG_REMOVE, name.c_str(), errno);
    }
    ostrela_db_step("dump-removed");
    return 0;
}
