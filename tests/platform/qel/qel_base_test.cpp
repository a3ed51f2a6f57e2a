#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/qel/qel.h"
#include "platform/stg/stg.h"

namespace {

class QelFstat : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/qel-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        unlink((dir_ + "/file").c_str());
        unlink((dir_ + "/link").c_str());
        rmdir(dir_.c_str());
    }
    std::string dir_;
};

TEST_F(QelFstat, FillsTheRecordFromTheSystem) {
    const std::string file = dir_ + "/file";
    std::ofstream(file) << "twelve bytes";
    ASSERT_EQ(chmod(file.c_str(), 04751), 0);
    const struct timeval times[2] = {{1600000000, 123456}, {1700000000, 987654}};
    ASSERT_EQ(utimes(file.c_str(), times), 0);
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0);

    qel_fstat_db_s fs;
    std::memset(&fs, 0xEE, sizeof fs);
    ASSERT_EQ(qel_get_fstat_db(file.c_str(), 1, &fs), QEL_ST_OK);
    EXPECT_EQ(fs.type, QEL_FTYPE_REG);
    EXPECT_EQ(fs.mode, 04751u);
    EXPECT_EQ(fs.nlink, 1u);
    EXPECT_EQ(fs.size, 12u);
    EXPECT_EQ(fs.nodeid, static_cast<uint32_t>(st.st_ino));
    EXPECT_EQ(fs.atime.tv_sec, 1600000000u);
    EXPECT_EQ(fs.atime.tv_usec, 123456u);
    EXPECT_EQ(fs.mtime.tv_sec, 1700000000u);
    EXPECT_EQ(fs.mtime.tv_usec, 987654u);
    EXPECT_EQ(fs.aux, 0u);
    EXPECT_EQ(fs.xtime.tv_sec, 0u);
    credutl_sid_t owner;
    credutl_sid_t group;
    credutl_uid_to_sid(st.st_uid, &owner);
    credutl_gid_to_sid(st.st_gid, &group);
    EXPECT_TRUE(credutl_sid_eq(&fs.usid, &owner));
    EXPECT_TRUE(credutl_sid_eq(&fs.gsid, &group));

    // The record's bytes at their fixed offsets.
    const auto* raw = reinterpret_cast<const unsigned char*>(&fs);
    uint64_t size_at_84 = 0;
    std::memcpy(&size_at_84, raw + 84, 8);
    EXPECT_EQ(size_at_84, 12u);
    uint32_t mtime_at_112 = 0;
    std::memcpy(&mtime_at_112, raw + 112, 4);
    EXPECT_EQ(mtime_at_112, 1700000000u);
    EXPECT_EQ(std::memcmp(raw + 16, &owner, 34), 0);

    // Sizes beyond 32 bits: low word at 84, high word at 88.
    fs.size = 0x123456789ULL;
    fs.size += 1;
    uint64_t read_back = fs.size;
    EXPECT_EQ(read_back, 0x12345678AULL);
    uint32_t words[2];
    std::memcpy(words, raw + 84, 8);
    EXPECT_EQ(words[0], 0x2345678Au);
    EXPECT_EQ(words[1], 0x1u);
}

TEST_F(QelFstat, KindsLinksAndFailures) {
    qel_fstat_db_s fs;
    ASSERT_EQ(qel_get_fstat_db(dir_.c_str(), 0, &fs), QEL_ST_OK);
    EXPECT_EQ(fs.type, QEL_FTYPE_DIR);
    const std::string link = dir_ + "/link";
    ASSERT_EQ(symlink(dir_.c_str(), link.c_str()), 0);
    ASSERT_EQ(qel_get_fstat_db(link.c_str(), 0, &fs), QEL_ST_OK);
    EXPECT_EQ(fs.type, QEL_FTYPE_LNK);
    EXPECT_EQ(fs.size, dir_.size());
    ASSERT_EQ(qel_get_fstat_db(link.c_str(), 1, &fs), QEL_ST_OK);
    EXPECT_EQ(fs.type, QEL_FTYPE_DIR);
    EXPECT_EQ(qel_get_fstat_db((dir_ + "/missing").c_str(), 1, &fs), QEL_ST_NO_ENTRY);
    EXPECT_EQ(qel_get_fstat_db((dir_ + "/link/x/y").c_str(), 1, &fs), QEL_ST_NO_ENTRY);
}

TEST(QelModes, ConvertAndMakeWritable) {
    EXPECT_EQ(qel_mode_t_to_fmode_t(S_IFREG | 0644), 0644u);
    EXPECT_EQ(qel_mode_t_to_fmode_t(S_IFDIR | 07755), 07755u);
    EXPECT_EQ(qel_fmode_t_to_mode_t(0444), static_cast<mode_t>(0444));
    EXPECT_EQ(qel_fmode_t_to_mode_t(0xFFFFFFFFu), static_cast<mode_t>(07777)) << "no type bits leak";
    EXPECT_EQ(qel_fmode_make_writable(0444), 0644u);
    EXPECT_EQ(qel_fmode_make_writable(0644), 0644u);
    EXPECT_EQ(qel_fmode_t_to_mode_t(qel_fmode_make_writable(0555)), static_cast<mode_t>(0755));
}

TEST(QelTextMode, CanonicalNamesRoundTrip) {
    qel_text_mode_t mode = QEL_TEXT_MODE_TRANSPARENT;
    ASSERT_EQ(qel_str_to_text_mode("Insert_CR", &mode), QEL_ST_OK);
    EXPECT_EQ(mode, QEL_TEXT_MODE_INSERT_CR);
    EXPECT_STREQ(qel_text_mode_to_str(mode), "insert_cr");
    for (const char* name : {"transparent", "insert_cr", "strip_cr"}) {
        ASSERT_EQ(qel_str_to_text_mode(name, &mode), QEL_ST_OK) << name;
        EXPECT_STREQ(qel_text_mode_to_str(mode), name);
    }
    mode = QEL_TEXT_MODE_STRIP_CR;
    EXPECT_EQ(qel_str_to_text_mode("", &mode), QEL_ST_INVALID);
    EXPECT_EQ(qel_str_to_text_mode("unix ", &mode), QEL_ST_INVALID);
    EXPECT_EQ(mode, QEL_TEXT_MODE_STRIP_CR);
    EXPECT_EQ(qel_text_mode_to_str(static_cast<qel_text_mode_t>(7)), nullptr);
}

TEST(QelDirs, EnvironmentWinsOverTheInstalledDefaults) {
    unsetenv("NORVANE_SERVER_DIR");
    unsetenv("NORVANE_HOST_CONFIG_DIR");
    EXPECT_STREQ(qel_product_server_dir(), TEST_OSTREL_DATA_DIR);
    EXPECT_STREQ(qel_product_host_config_dir(), TEST_OSTREL_CONFIG_DIR);
    setenv("NORVANE_SERVER_DIR", "/tmp/srv", 1);
    setenv("NORVANE_HOST_CONFIG_DIR", "/tmp/cfg", 1);
    EXPECT_STREQ(qel_product_server_dir(), "/tmp/srv");
    EXPECT_STREQ(qel_product_host_config_dir(), "/tmp/cfg");
    setenv("NORVANE_SERVER_DIR", "", 1);
    EXPECT_STREQ(qel_product_server_dir(), TEST_OSTREL_DATA_DIR) << "an empty value counts as unset";
    unsetenv("NORVANE_SERVER_DIR");
    unsetenv("NORVANE_HOST_CONFIG_DIR");
}

TEST(QelConfigRecord, KeepsFormatAndBytes) {
    const char text[] = "rule\0with a NUL";
    _qel_cr_compressed_t* cr = nullptr;
    ASSERT_EQ(qel_cr_vx_to_cr_compressed(0x2a, text, sizeof text, &cr), QEL_ST_OK);
    ASSERT_NE(cr, nullptr);
    EXPECT_EQ(cr->header, 0x2au);
    EXPECT_EQ(cr->length, sizeof text);
    EXPECT_EQ(std::memcmp(cr->data, text, sizeof text), 0);
    stg_free(cr->data);
    stg_free(cr);

    ASSERT_EQ(qel_cr_vx_to_cr_compressed(1, nullptr, 0, &cr), QEL_ST_OK);
    EXPECT_EQ(cr->length, 0u);
    EXPECT_EQ(cr->data, nullptr);
    stg_free(cr);
    EXPECT_EQ(qel_cr_vx_to_cr_compressed(1, nullptr, 3, &cr), QEL_ST_INVALID);
}

std::string fmt(int index, ...) {
    char buf[512];
    va_list args;
    va_start(args, index);
    int n = imsg_vsnprintf(buf, sizeof buf, &_qel_cmsg_qel_msg_table, index, args);
    va_end(args);
    return n < 0 ? "<none>" : buf;
}

TEST(QelCatalog, PositionsCarryTheirArgumentsInOrder) {
    EXPECT_EQ(_qel_cmsg_qel_msg_table.count, 117);
    EXPECT_EQ(fmt(QEL_MSG_TEXT, "any text"), "any text");
    EXPECT_EQ(fmt(22, "/p", "Permission denied"), "Unable to unlink \"/p\": Permission denied\n");
    EXPECT_EQ(fmt(23, "/p", "Busy"), "Unable to remove \"/p\": Busy\n");
    EXPECT_EQ(fmt(46, "ns_readdir_ext", "Stale handle"), "Error from ns_readdir_ext: Stale handle\n");
    EXPECT_EQ(fmt(47, "ns_lookup", "a.c", "Not found"), "Error from ns_lookup on \"a.c\": Not found\n");
    EXPECT_EQ(fmt(49, "/old", "/new", "Busy"), "Unable to rename \"/old\" to \"/new\": Busy\n");
    EXPECT_EQ(fmt(116, "/dst", "/src", "No space"), "Unable to copy to \"/dst\" from \"/src\": No space\n");
    EXPECT_EQ(fmt(45, "lib/x", 12), "Internal error in lib/x at line 12.\n");
    EXPECT_EQ(fmt(1), "<none>") << "an unassigned position cannot be loaded";
    EXPECT_EQ(fmt(117), "<none>");
    for (int i = 1; i < _qel_cmsg_qel_msg_table.count; ++i) {
        EXPECT_GT(_qel_cmsg_qel_msg_table.numbers[i], _qel_cmsg_qel_msg_table.numbers[i - 1]);
    }
}

std::vector<std::pair<int, std::string>> g_printed;
template <int Kind>
void keep(void*, const char* text) {
    g_printed.emplace_back(Kind, text);
}

TEST(QelCatalog, InternalErrorsAreReportedAsErrors) {
    const char* const texts[] = {"Unexpected mtype(%ld) for object %s\n"};
    const unsigned short numbers[] = {1};
    const _imsg_message_table_t ns_catalog = {"ns", "view", 5, 1, texts, numbers};
    const imsg_proc_t table[IMSG_NUM_KINDS] = {keep<0>, keep<1>, keep<2>, keep<3>, keep<4>, keep<5>,
                                               keep<6>, keep<7>, keep<8>, keep<9>, keep<10>};
    imsg_set_redirect_procs(table, IMSG_NUM_KINDS, nullptr);
    g_printed.clear();
    qel_log_int_error("view", "lib/ns/ns_rpc", 120, &ns_catalog, 0, 42L, "obj");
    qel_log_int_error(nullptr, "lib/ostreladb/ostrelagent_kesto_utls", 7, nullptr, 0);
    // A source name longer than any fixed buffer is reported whole.
    const std::string long_source(2000, 's');
    qel_log_int_error(nullptr, long_source.c_str(), 9, nullptr, 0);
    imsg_set_redirect_procs(nullptr, 0, nullptr);

    ASSERT_EQ(g_printed.size(), 3u);
    EXPECT_EQ(g_printed[2].second, "Internal error in " + long_source + " at line 9.\n");
    EXPECT_EQ(g_printed[0].first, 6);
    EXPECT_EQ(g_printed[0].second,
              "[view] Internal error in lib/ns/ns_rpc at line 120.\nUnexpected mtype(42) for object obj\n");
    EXPECT_EQ(g_printed[1].first, 6);
    EXPECT_EQ(g_printed[1].second, "Internal error in lib/ostreladb/ostrelagent_kesto_utls at line 7.\n");
}

}  // namespace
