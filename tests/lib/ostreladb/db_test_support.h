#pragma once
// The view database's tests: a view storage in a private home that the
// process works in, messages captured instead of printed, and small helpers
// that run record-level steps in transactions.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "lib/lib_test_support.h"
#include "lib/ostreladb/ostrel_db.h"
#include "lib/ostreladb/ostrel_db_record.h"
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

// Runs `step` in a write (or read) transaction of its own.
template <typename Step>
int write_tx(Step step) {
    return ostrel_db_in_transaction(1, step);
}
template <typename Step>
int read_tx(Step step) {
    return ostrel_db_in_transaction(0, step);
}

inline qel_oid_s oid_of(unsigned n) {
    qel_oid_s oid{};
    for (int i = 0; i < 4; ++i) oid.bytes[i] = static_cast<unsigned char>(n >> (8 * i));
    oid.bytes[15] = 0x5a;
    return oid;
}

inline qel_uuid_s uuid_of(unsigned n) {
    qel_uuid_s uuid{};
    uuid.bytes[0] = static_cast<unsigned char>(n);
    uuid.bytes[15] = 0xa5;
    return uuid;
}

} // namespace db_test
