#pragma once
// The view database's tests: a view storage in a private home that the
// process works in, messages captured instead of printed, and small helpers
// that run record-level steps in transactions.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "lib/lib_test_support.h"
#include "lib/ostreladb/ostrel_db.h"
#include "lib/ostreladb/ostrel_db_record.h"
#include "lib/ostreladb/ostrel_db_scope.h"
#include "lib/ostreladb/ostrel_db_session.h"
#include "platform/imsg/imsg.h"

namespace db_test {

// Captures every message printed while it lives.
class Messages {
public:
    Messages() {
        imsg_proc_t procs[IMSG_NUM_KINDS];
        for (imsg_proc_t& p : procs) p = &Messages::keep;
        imsg_set_redirect_procs(procs, IMSG_NUM_KINDS, this);
    }
    ~Messages() { imsg_set_redirect_procs(nullptr, 0, nullptr); }
    Messages(const Messages&) = delete;
    Messages& operator=(const Messages&) = delete;

    std::string text() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return text_;
    }
    bool has(const std::string& part) const { return text().find(part) != std::string::npos; }
    void clear() {
        std::lock_guard<std::mutex> guard(mutex_);
        text_.clear();
    }

private:
    static void keep(void* context, const char* text) {
        auto* self = static_cast<Messages*>(context);
        std::lock_guard<std::mutex> guard(self->mutex_);
        self->text_ += text;
    }
    mutable std::mutex mutex_;
    std::string text_;
};

// A view storage "view" in a private home, the process's working directory
// for the test, with its container pool made.
class ViewDbTest : public ::testing::Test {
protected:
    void SetUp() override {
        storage = home.path() + "/view";
        ASSERT_EQ(0, ::mkdir(storage.c_str(), 0700));
        ASSERT_EQ(0, ::chdir(storage.c_str()));
        view_home = storage;
        ASSERT_EQ(0, ostrel_storage_init());
    }
    void TearDown() override { ostrel_db_close(); }

    // Makes and opens a new database.
    void open_new() {
        int created = 0;
        ASSERT_EQ(0, ostrel_db_init(&created));
        ASSERT_EQ(1, created);
    }
    // Opens the database there is.
    int reopen() {
        ostrel_db_close();
        int created = 0;
        int status = ostrel_db_init(&created);
        EXPECT_EQ(0, created);
        return status;
    }
    std::string state_file() const { return lib_test::read_file(storage + "/" + OSTREL_DB_STATE_FILE); }

    Messages messages;
    lib_test::TempHome home;
    lib_test::KeepWorkingDirectory cwd_;
    std::string storage;
};

// The same with a new database opened in it.
class NewDbTest : public ViewDbTest {
protected:
    void SetUp() override {
        ViewDbTest::SetUp();
        open_new();
    }
};

// Runs `step` in a write (or read) transaction of its own.
template <typename Step>
int write_tx(Step step) {
    return ostrel_db_in_transaction(1, step);
}
template <typename Step>
int read_tx(Step step) {
    return ostrel_db_in_transaction(0, step);
}

// An inode of the VOB with a fresh status (a directory also gets its
// directory part); 0 on failure.
inline uint32_t make_inode(uint32_t vob, const qel_oid_s& oid, uint32_t type, uint32_t mtype) {
    qel_fstat_db_s fstat{};
    fstat.type = type;
    fstat.mode = 0755;
    fstat.nlink = type == QEL_FTYPE_DIR ? 1 : 0;
    fstat.size = type == QEL_FTYPE_DIR ? 89 : 0;
    fstat.usid = fstat.gsid = CREDUTL_SID_DONTCARE;
    fstat.atime = fstat.mtime = fstat.ctime = ostrela_db_view_time();
    uint32_t dbid = 0;
    int status = write_tx([&] {
        int st = ostrela_db_inode_create(vob, &oid, &fstat, mtype, &dbid, nullptr);
        return st == 0 && type == QEL_FTYPE_DIR ? ostrela_db_dir_create(dbid) : st;
    });
    EXPECT_EQ(0, status);
    return status == 0 ? dbid : 0;
}

// The file status of a loaded object, its times set.
inline qel_fstat_db_s loaded_fstat(uint32_t type, uint64_t size, uint32_t aux = 0) {
    qel_fstat_db_s f{};
    f.type = type;
    f.mode = type == QEL_FTYPE_DIR ? 0755 : 0644;
    f.aux = aux;
    f.size = size;
    f.atime = {100, 1};
    f.mtime = {200, 2};
    f.ctime = {300, 3};
    f.xtime = {400, 4};
    return f;
}

// Links `name` in the directory to `object` (0: a white-out) with `state`.
inline int link_name(uint32_t dir, const std::string& name, uint32_t object, uint32_t state = 0,
                     uint32_t* cookie = nullptr, const qel_fstat_time_s* vob_time = nullptr, int keep_times = 0) {
    uint32_t ignored = 0;
    return write_tx([&] {
        return ostrela_db_link(dir, name.c_str(), object, state, nullptr, nullptr, keep_times, vob_time,
                               cookie != nullptr ? cookie : &ignored);
    });
}

// Hands each entry packed one after the other into `buf` to `visit` with
// its name: an entry begins with a `Head` of `head_size` bytes that counts
// the name (`name_len`), the name follows with its NUL, and the entry takes
// `size(name_len)` bytes, ending on a 4-byte boundary.
template <typename Head, typename Visit>
void for_each_packed(const std::vector<char>& buf, size_t bytes, size_t head_size, size_t (*size)(size_t),
                     Visit visit) {
    for (size_t at = 0; at < bytes;) {
        Head head;
        std::memcpy(&head, buf.data() + at, head_size);
        const char* name = buf.data() + at + head_size;
        EXPECT_EQ('\0', name[head.name_len]);
        visit(head, std::string(name, head.name_len));
        at += size(head.name_len);
        EXPECT_EQ(0u, at % 4);
    }
}

// How many records of a type the database holds.
inline int count_records(int type) {
    int n = 0;
    read_tx([&] {
        int st = dt_recfrst(type, &view_db_task, VDB);
        for (; st == S_OKAY; st = dt_recnext(&view_db_task, VDB)) ++n;
        return st == S_NOTFOUND ? 0 : st;
    });
    return n;
}

// The address of a value that lives to the end of the full expression, so
// that a temporary id can be passed where a pointer is wanted.
template <typename T>
const T* at(const T& value) {
    return &value;
}

// The record of a scope, as stored.
inline vns_db_lr_scope scope_record(const qel_oid_s& oid) {
    vns_db_lr_scope rec{};
    EXPECT_EQ(0, read_tx([&] {
        uint32_t dbid = 0;
        int status = ostrela_db_lookup_lr_scope_oid(&oid, &dbid);
        return status != 0 ? status : dt_recread(&rec, &view_db_task, VDB);
    }));
    return rec;
}

inline qel_oid_s oid_of(unsigned n) {
    qel_oid_s oid{};
    for (int i = 0; i < 4; ++i) oid.bytes[i] = static_cast<unsigned char>(n >> (8 * i));
    oid.bytes[15] = 0x5a;
    return oid;
}

inline std::string text(const qel_oid_s& oid) {
    char buf[QEL_OID_STR_SIZE];
    return qel_oid_to_str(&oid, buf);
}

inline qel_uuid_s uuid_of(unsigned n) {
    qel_uuid_s uuid{};
    uuid.bytes[0] = static_cast<unsigned char>(n);
    uuid.bytes[15] = 0xa5;
    return uuid;
}

// Loaded objects of one VOB made straight with the engine, as a load leaves
// them (the load itself is not part of these tests): objects numbered from
// the VOB's counter, elements with their versions, directory versions and
// the entries that name versions under a scope. Each call runs its own
// write transaction and returns the new object's dbid (0 on failure).
class Loaded {
public:
    explicit Loaded(uint32_t vob_dbid) : vob_(vob_dbid & ~OSTREL_DB_DBID_BIT) {}

    uint32_t vob() const { return vob_ | OSTREL_DB_DBID_BIT; }

    uint32_t element(const qel_oid_s& oid, uint32_t mtype = 5, bool checked_out = false) {
        uint32_t dbid = 0;
        run([&] {
            int st = object(oid, mtype, &dbid);
            vns_db_elem rec{vob_, dbid, {}, 0, 0, 0, checked_out ? 1u : 0u};
            if (st == 0) st = dt_fillnew(VNS_DB_ELEM, &rec, &view_db_task, VDB);
            if (st == 0 && checked_out) st = dt_keystore(ELEM_CHECKEDOUT, &view_db_task, VDB);
            return st;
        });
        return dbid;
    }
    // A version of the element `elem` (0: of none).
    uint32_t version(const qel_oid_s& oid, uint32_t elem, uint32_t mtype = 6) {
        uint32_t dbid = 0;
        run([&] {
            int st = object(oid, mtype, &dbid);
            vns_db_ver rec{vob_, dbid, 0, 0, 0, 0, 0, mtype, 0};
            if (st == 0) st = dt_fillnew(VNS_DB_VER, &rec, &view_db_task, VDB);
            db_address ver = 0;
            if (st == 0) st = dt_crget(&ver, &view_db_task, VDB);
            if (st == 0 && elem != 0) {
                db_vob_dbid_key key{vob_, elem};
                st = dt_keyfind(ELEM_KEY, &key, &view_db_task, VDB);
                if (st == 0) st = dt_setor(ELEM_VER_SET, &view_db_task, VDB);
                if (st == 0) st = dt_crset(&ver, &view_db_task, VDB);
                if (st == 0) st = dt_connect(ELEM_VER_SET, &view_db_task, VDB);
            }
            return st;
        });
        return dbid;
    }
    // A directory version: a version of kind 3 and its directory record.
    uint32_t directory(const qel_oid_s& oid, uint32_t elem, uint32_t parent) {
        uint32_t dbid = version(oid, elem, 3);
        run([&] {
            vns_db_dir_ver rec{vob_, dbid, parent, 3, 0, 0};
            return dt_fillnew(VNS_DB_DIR_VER, &rec, &view_db_task, VDB);
        });
        return dbid;
    }
    // The entry `name` in the directory version `parent` (0: a root entry)
    // naming the version `ver`, loaded under the scope `scope` at `gn`.
    void entry(uint32_t ver, uint32_t parent, const std::string& name, const qel_oid_s& scope, uint32_t gn) {
        run([&] {
            uint32_t mtype = 0;
            db_vob_dbid_key key{vob_, ver};
            int st = dt_keyfind(VER_KEY, &key, &view_db_task, VDB);
            if (st == 0) st = dt_crread(VER_MTYPE, &mtype, &view_db_task, VDB);
            vns_db_dir_ver_ent rec{};
            rec.vob_dba = vob_;
            rec.ver = ver;
            rec.parent = parent;
            rec.scope = scope;
            rec.hash = parent != 0 ? ostrela_db_hash_name(name.c_str()) : 0;
            rec.mtype = mtype;
            rec.valid = 1;
            rec.gn = gn;
            rec.name_len = static_cast<uint16_t>(name.size());
            std::memcpy(rec.name, name.data(), std::min(name.size(), sizeof rec.name));
            db_address at = 0;
            if (st == 0) st = dt_fillnew(VNS_DB_DIR_VER_ENT, &rec, &view_db_task, VDB);
            if (st == 0) st = dt_crget(&at, &view_db_task, VDB);
            // Its version, its directory and its scope own it.
            if (st == 0) st = dt_keyfind(VER_KEY, &key, &view_db_task, VDB);
            if (st == 0) st = connect(VER_DIR_ENT_SET, at);
            key.dbid = parent;
            if (st == 0 && parent != 0 && (st = dt_keyfind(DIR_VER_KEY, &key, &view_db_task, VDB)) == 0)
                st = connect(DIR_VER_ENT_SET, at);
            if (st == 0) st = dt_keyfind(LR_SCOPE_OID, &scope, &view_db_task, VDB);
            if (st == 0) st = connect(SCOPE_DIR_VER_ENT_SET, at);
            return st;
        });
    }

private:
    template <typename Step>
    void run(Step step) {
        int st = write_tx([&] { return step() == S_OKAY ? 0 : QEL_ST_INTERNAL; });
        EXPECT_EQ(0, st) << "making loaded records";
    }
    // The VOB's next dbid, and the object record with it.
    int object(const qel_oid_s& oid, uint32_t mtype, uint32_t* dbid) {
        db_address vob = vob_;
        db_vob rec;
        int st = dt_crset(&vob, &view_db_task, VDB);
        if (st == 0) st = dt_recread(&rec, &view_db_task, VDB);
        *dbid = ++rec.next_dbid;
        if (st == 0) st = dt_recwrite(&rec, &view_db_task, VDB);
        vns_db_obj obj{};
        obj.vob_dba = vob_;
        obj.oid = oid;
        obj.mtype = mtype;
        obj.dbid = *dbid;
        obj.node_id = *dbid;
        if (st == 0) st = dt_fillnew(VNS_DB_OBJ, &obj, &view_db_task, VDB);
        return st;
    }
    // Connects the record at `member` under the current record in `set`.
    static int connect(int set, db_address member) {
        int st = dt_setor(set, &view_db_task, VDB);
        if (st == 0) st = dt_crset(&member, &view_db_task, VDB);
        if (st == 0) st = dt_connect(set, &view_db_task, VDB);
        return st;
    }

    db_address vob_;
};

} // namespace db_test
