// Storage containers: the pool, container names, removals, and the
// containers handled by path.

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <regex>

#include "lib/ns/ns_cache.h"
#include "lib/ostreladb/db_test_support.h"

namespace {

using db_test::oid_of;
using lib_test::exists;
using lib_test::read_file;
using lib_test::write_file;

class DbStorage : public db_test::ViewDbTest {
protected:
    std::string name_for(const qel_oid_s& oid, const char* leaf, uint32_t dbid = 0x12a, size_t size = 1024) {
        char buf[1024];
        errno = 0;
        if (ostrel_storage_create(&oid, &oid, leaf, dbid, buf, size) != 0) return "errno " + std::to_string(errno);
        return buf;
    }
    mode_t mode_of(const std::string& path) {
        struct stat st;
        return ::lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
    }
};

TEST_F(DbStorage, ThePoolHasItsSubdirectoriesAndKnowsItsLongestName) {
    for (int i = 0; i < OSTREL_STORAGE_SUBDIRS; ++i) {
        char sub[32];
        std::snprintf(sub, sizeof sub, ".s/%05d", i);
        EXPECT_TRUE(S_ISDIR(mode_of(sub))) << sub;
    }
    EXPECT_FALSE(exists(".s/00057"));
    // The file system takes 255-byte names: five digits, '/' and the NUL more.
    EXPECT_EQ(262u, ostrel_storage_max_name());
    // Made again over what exists.
    EXPECT_EQ(0, ostrel_storage_init());
}

TEST_F(DbStorage, ContainerNames) {
    const qel_oid_s oid = oid_of(7);
    char sub[8];
    std::snprintf(sub, sizeof sub, "%05u", qel_oid_to_hash32(&oid) % 57);
    std::string first = name_for(oid, "report.txt");
    std::string second = name_for(oid, "report.txt");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(first, m, std::regex("([0-9]{5})/0000012a([0-9a-f]{6,})report\\.txt"))) << first;
    EXPECT_EQ(sub, m[1].str());
    EXPECT_NE(first, second) << "names formed in the same second differ";
    EXPECT_EQ(std::stoul(m[2].str(), nullptr, 16) + 1,
              std::stoul(second.substr(14, second.size() - 14 - 10), nullptr, 16));
    EXPECT_EQ('!', name_for(oid, "a.").back()) << "a name never ends in a dot";
    EXPECT_EQ("a!", name_for(oid, "a.").substr(name_for(oid, "a.").size() - 2));
    // A long leaf is cut to the pool's longest name.
    EXPECT_EQ(261u, name_for(oid, std::string(400, 'L').c_str()).size());
    EXPECT_EQ(29u, name_for(oid, std::string(400, 'L').c_str(), 1, 30).size());
    EXPECT_EQ("errno " + std::to_string(ENAMETOOLONG), name_for(oid, "x", 1, 20));
    // A taken name is refused (the caller forms another): the next name is
    // made a file first.
    std::string last = name_for(oid, "t", 1);
    uint32_t sequence = static_cast<uint32_t>(std::stoul(last.substr(14, last.size() - 15), nullptr, 16));
    char next[64];
    std::snprintf(next, sizeof next, "%s/%08x%06xt", sub, 1u, sequence + 1);
    write_file(std::string(".s/") + next, "");
    char buf[64];
    EXPECT_EQ(-1, ostrel_storage_create(&oid, &oid, "t", 1, buf, sizeof buf));
    EXPECT_EQ(EEXIST, errno);
    EXPECT_STREQ(next, buf);
}

TEST_F(DbStorage, RemovingContainers) {
    const qel_oid_s oid = oid_of(8);
    std::string name = name_for(oid, "gone");
    write_file(".s/" + name, "data");
    EXPECT_EQ(0, ostrel_storage_remove(name.c_str()));
    EXPECT_FALSE(exists(".s/" + name));
    EXPECT_EQ(0, ostrel_storage_remove(name.c_str())) << "already gone";
    // Names that leave the pool are refused, and nothing outside is touched.
    write_file("outside", "precious");
    for (const char* bad : {"../outside", "00001/../../outside", "/etc/passwd"}) {
        EXPECT_EQ(QEL_ST_NOT_PERMITTED, ostrel_storage_remove(bad)) << bad;
        EXPECT_EQ(-1, ostrel_storage_remove_dir(bad)) << bad;
    }
    EXPECT_EQ("precious", read_file("outside"));
    EXPECT_EQ(QEL_ST_TOO_LONG, ostrel_storage_remove(std::string(1100, 'n').c_str()));
    // Directories: not empty, removed, gone.
    ASSERT_EQ(0, ::mkdir(".s/00003/d", 0700));
    write_file(".s/00003/d/f", "");
    EXPECT_EQ(1, ostrel_storage_remove_dir("00003/d"));
    ::unlink(".s/00003/d/f");
    EXPECT_EQ(0, ostrel_storage_remove_dir("00003/d"));
    EXPECT_EQ(0, ostrel_storage_remove_dir("00003/d"));
    EXPECT_FALSE(exists(".s/00003/d"));
}

TEST_F(DbStorage, PathsMustStayInside) {
    const struct {
        const char* path;
        qel_status_t status;
    } rows[] = {{"a/b", 0},           {"a/..b", 0},          {"..a", 0},       {"a/b/", 0},
                {"/a", QEL_ST_NOT_PERMITTED}, {"..", QEL_ST_NOT_PERMITTED}, {"a/../b", QEL_ST_NOT_PERMITTED},
                {"a/..", QEL_ST_NOT_PERMITTED}, {nullptr, QEL_ST_NOT_PERMITTED}};
    for (const auto& row : rows) EXPECT_EQ(row.status, validate_pname(row.path)) << (row.path ? row.path : "null");
}

TEST_F(DbStorage, ContainersByPath) {
    const credutl_sid_credentials_t* creds = ostrelagent_my_creds();
    std::string made;
    ASSERT_EQ(0, ostrel_storage_create_container(nullptr, "x", 1, creds, QEL_FTYPE_REG, 06775, &made));
    EXPECT_EQ("x", made);
    // Set-id and sticky bits never reach a container.
    EXPECT_EQ(0775u, mode_of("x") & 07777);
    ASSERT_EQ(0, ostrel_storage_create_container(nullptr, "x", 1, creds, QEL_FTYPE_REG, 0644, &made));
    EXPECT_EQ("x.1", made);
    ASSERT_EQ(0, ostrel_storage_create_container(nullptr, "x", 1, creds, QEL_FTYPE_REG, 0644, &made));
    EXPECT_EQ("x.2", made);
    EXPECT_EQ(QEL_ST_EXISTS, ostrel_storage_create_container(nullptr, "x", 0, creds, QEL_FTYPE_REG, 0644, &made));
    EXPECT_EQ(QEL_ST_INVALID, ostrel_storage_create_container(nullptr, "l", 0, creds, QEL_FTYPE_LNK, 0644, &made));
    EXPECT_TRUE(messages.has("Unexpected file type(5) on l"));
    ASSERT_EQ(0, ostrel_storage_create_container(nullptr, "d", 0, creds, QEL_FTYPE_DIR, 02771, &made));
    EXPECT_EQ(02771u & ~02000u, mode_of("d") & 07777) << "no set-group-id on a group-executable container";

    // Protection and status.
    ASSERT_EQ(0, ostrel_storage_protect_container(nullptr, "x", creds, 04640));
    EXPECT_EQ(0640u, mode_of("x") & 07777);
    qel_fstat_db_s fstat{};
    ASSERT_EQ(0, ostrel_storage_fstat_container(nullptr, "x", &fstat));
    EXPECT_EQ(0640u, fstat.mode);
    EXPECT_TRUE(credutl_sid_eq(&creds->user_sid, &fstat.usid));

    // Rename, replace, remove.
    write_file("x", "new");
    EXPECT_EQ(QEL_ST_EXISTS, ostrel_storage_rename_container(nullptr, "x", "x.1"));
    ASSERT_EQ(0, ostrel_storage_rename_container(nullptr, "x", "y"));
    EXPECT_EQ("new", read_file("y"));
    EXPECT_EQ(QEL_ST_INVALID, ostrel_storage_replace_container(nullptr, "y", "d")) << "a file over a directory";
    ASSERT_EQ(0, ostrel_storage_replace_container(nullptr, "y", "x.1"));
    EXPECT_EQ("new", read_file("x.1"));
    EXPECT_FALSE(exists("y"));
    ASSERT_EQ(0, ostrel_storage_replace_container(nullptr, "x.1", "z"));
    EXPECT_EQ("new", read_file("z"));
    write_file("d/inner", "");
    ASSERT_EQ(0, ostrel_storage_remove_container(nullptr, "d"));
    EXPECT_FALSE(exists("d"));
    ASSERT_EQ(0, ostrel_storage_remove_container(nullptr, "z"));
    EXPECT_NE(0, ostrel_storage_remove_container(nullptr, "z"));
    for (auto step : {+[] { return ostrel_storage_remove_container(nullptr, "../x.2"); },
                      +[] { return ostrel_storage_rename_container(nullptr, "x.2", "/tmp/x"); },
                      +[] { return ostrel_storage_replace_container(nullptr, "../a", "x.2"); }})
        EXPECT_EQ(QEL_ST_NOT_PERMITTED, step());
    EXPECT_TRUE(exists("x.2"));
}

} // namespace
