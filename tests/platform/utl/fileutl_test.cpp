#include "platform/utl/fileutl.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/utl/temp_dir.h"

namespace {

bool is_dir(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void write_file(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(FileutlExists, FollowDecidesForADanglingLink) {
    TempDir dir;
    std::string link = dir / "dangling";
    ASSERT_EQ(symlink((dir / "missing").c_str(), link.c_str()), 0);
    EXPECT_EQ(fileutl_exists(link.c_str(), 0), 1);
    EXPECT_EQ(fileutl_exists(link.c_str(), 1), 0);
    EXPECT_EQ(fileutl_exists((dir / "missing").c_str(), 0), 0);
}

TEST(FileutlMkpath, MakesThePathOrOnlyItsParents) {
    TempDir dir;
    ASSERT_EQ(fileutl_mkpath((dir / "a/b/c").c_str(), 0700, 1), 0);
    EXPECT_TRUE(is_dir(dir / "a/b/c"));

    ASSERT_EQ(fileutl_mkpath((dir / "p/q/leaf").c_str(), 0700, 0), 0);
    EXPECT_TRUE(is_dir(dir / "p/q"));
    EXPECT_FALSE(fileutl_exists((dir / "p/q/leaf").c_str(), 0));

    // Existing directories, doubled and trailing separators are fine.
    EXPECT_EQ(fileutl_mkpath((dir / "a//b/c/").c_str(), 0700, 1), 0);
    EXPECT_EQ(fileutl_mkpath((dir / "a/b/c/new").c_str(), 0700, 0), 0);
    EXPECT_EQ(fileutl_mkpath("leaf-without-parent", 0700, 0), 0);
}

TEST(FileutlMkpath, ModeAppliesToEveryNewDirectory) {
    TempDir dir;
    mode_t old = umask(0);
    int rc = fileutl_mkpath((dir / "m1/m2").c_str(), 0710, 1);
    umask(old);
    ASSERT_EQ(rc, 0);
    struct stat st;
    ASSERT_EQ(stat((dir / "m1").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0710u);
    ASSERT_EQ(stat((dir / "m1/m2").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0710u);
}

TEST(FileutlMkpath, AFileInTheWayFails) {
    TempDir dir;
    write_file(dir / "f", "x");
    errno = 0;
    EXPECT_EQ(fileutl_mkpath((dir / "f").c_str(), 0700, 1), -1);
    EXPECT_EQ(errno, EEXIST);
    errno = 0;
    EXPECT_EQ(fileutl_mkpath((dir / "f/sub").c_str(), 0700, 1), -1);
    EXPECT_EQ(errno, ENOTDIR);
}

TEST(FileutlRm, RecursiveRemovesATreeWithoutFollowingLinks) {
    TempDir dir;
    TempDir outside;
    write_file(outside / "keep", "precious");
    ASSERT_EQ(fileutl_mkpath((dir / "t/a/b").c_str(), 0700, 1), 0);
    write_file(dir / "t/a/b/file", "x");
    write_file(dir / "t/top", "y");
    ASSERT_EQ(symlink(outside.path().c_str(), (dir / "t/a/link").c_str()), 0);

    errno = 0;
    EXPECT_EQ(fileutl_rm((dir / "t").c_str(), 0), -1) << "a non-empty directory needs the recursive flag";
    EXPECT_EQ(errno, ENOTEMPTY);

    ASSERT_EQ(fileutl_rm((dir / "t").c_str(), FILEUTL_RM_RECURSIVE), 0);
    EXPECT_FALSE(fileutl_exists((dir / "t").c_str(), 0));
    EXPECT_EQ(read_file(outside / "keep"), "precious");

    errno = 0;
    EXPECT_EQ(fileutl_rm((dir / "t").c_str(), FILEUTL_RM_RECURSIVE), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST(FileutlRm, RemovesAFileAndAnEmptyDirectory) {
    TempDir dir;
    write_file(dir / "f", "x");
    ASSERT_EQ(mkdir((dir / "d").c_str(), 0700), 0);
    EXPECT_EQ(fileutl_rm((dir / "f").c_str(), 0), 0);
    EXPECT_EQ(fileutl_rm((dir / "d").c_str(), 0), 0);
    EXPECT_FALSE(fileutl_exists((dir / "f").c_str(), 0));
    EXPECT_FALSE(fileutl_exists((dir / "d").c_str(), 0));
}

TEST(FileutlRenameUnique, PicksTheFirstFreeName) {
    TempDir dir;
    char out[FILEUTL_PATH_MAX];
    const std::string db = dir / "db";
    for (const std::string& expected : {db + ".dumped", db + ".dumped.1", db + ".dumped.2"}) {
        ASSERT_EQ(mkdir(db.c_str(), 0700), 0);
        write_file(db + "/marker", expected);
        ASSERT_EQ(fileutl_rename_unique(db.c_str(), ".dumped", out, sizeof out), 0);
        EXPECT_EQ(out, expected);
        EXPECT_EQ(read_file(expected + "/marker"), expected) << "an earlier copy was replaced";
    }
    EXPECT_FALSE(fileutl_exists(db.c_str(), 0));

    errno = 0;
    EXPECT_EQ(fileutl_rename_unique(db.c_str(), ".dumped", out, sizeof out), -1);
    EXPECT_EQ(errno, ENOENT);

    write_file(db, "f");
    errno = 0;
    EXPECT_EQ(fileutl_rename_unique(db.c_str(), ".dumped", out, 4), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_TRUE(fileutl_exists(db.c_str(), 0));
}

TEST(FileutlStripLeaf, SplitsAtTheLastSeparator) {
    struct Case {
        const char* path;
        const char* parent;
        const char* leaf;
    };
    const Case cases[] = {
        {"a/b/c", "a/b", "c"}, {"/a/x", "/a", "x"}, {"/x", "", "x"},  {"x", "", "x"},
        {"a/b/", "a", "b"},    {"a//b", "a", "b"},  {"//x", "", "x"}, {"/a/b//", "/a", "b"},
    };
    for (const Case& c : cases) {
        char parent[FILEUTL_PATH_MAX];
        char leaf[FILEUTL_PATH_MAX];
        ASSERT_EQ(fileutl_strip_leaf(c.path, parent, leaf), 0) << c.path;
        EXPECT_STREQ(parent, c.parent) << c.path;
        EXPECT_STREQ(leaf, c.leaf) << c.path;
    }
}

TEST(FileutlStripLeaf, FailsOnEmptyPathsAndOverflow) {
    char parent[FILEUTL_PATH_MAX];
    char leaf[FILEUTL_PATH_MAX];
    for (const char* path : {"", "/", "///"}) {
        errno = 0;
        EXPECT_EQ(fileutl_strip_leaf(path, parent, leaf), -1) << '"' << path << '"';
        EXPECT_EQ(errno, EINVAL);
    }
    const std::string long_leaf = "dir/" + std::string(FILEUTL_PATH_MAX, 'l');
    const std::string long_parent = std::string(FILEUTL_PATH_MAX, 'p') + "/leaf";
    const std::string fits = std::string(FILEUTL_PATH_MAX - 1, 'p') + "/" +
                             std::string(FILEUTL_PATH_MAX - 1, 'l');
    errno = 0;
    EXPECT_EQ(fileutl_strip_leaf(long_leaf.c_str(), parent, leaf), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    errno = 0;
    EXPECT_EQ(fileutl_strip_leaf(long_parent.c_str(), parent, leaf), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_EQ(fileutl_strip_leaf(fits.c_str(), parent, leaf), 0);
    EXPECT_EQ(std::string(leaf).size(), FILEUTL_PATH_MAX - 1);
}

TEST(FileutlPathNames, EqualOrParentComparesWholeComponents) {
    struct Case {
        const char* parent;
        const char* child;
        int expected;
    };
    const Case cases[] = {
        {"/vobs/a", "/vobs/a/b", 1}, {"/vobs/a", "/vobs/ab", 0}, {"/vobs/a", "/vobs/a", 1},
        {"/vobs/a/", "/vobs/a", 1},  {"/vobs//a", "/vobs/a/b", 1}, {"/vobs/a/b", "/vobs/a", 0},
        {"/", "/anything", 1},       {"vobs/a", "/vobs/a/b", 0}, {"a", "a/b", 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(fileutl_pname_equal_or_parent(c.parent, c.child) != 0, c.expected != 0)
            << c.parent << " vs " << c.child;
    }
    EXPECT_EQ(fileutl_find_pname_sep_left("ab/cd/e") - "ab/cd/e", 0 + 2);
    EXPECT_EQ(fileutl_find_pname_sep_left("abc"), nullptr);
}

TEST(FileutlPathNames, MakeAbsIsLexical) {
    struct Case {
        const char* path;
        const char* base;
        const char* expected;
    };
    const Case cases[] = {
        {"a/./b/../c", "/", "/a/c"}, {"/../x", "/", "/x"},     {"", "/base", "/base"},
        {"x//y/", "/b", "/b/x/y"},   {"..", "/b/c", "/b"},     {"/abs", "/ignored", "/abs"},
        {"../../..", "/a", "/"},
    };
    for (const Case& c : cases) {
        char out[FILEUTL_PATH_MAX];
        ASSERT_EQ(fileutl_make_abs_pn(c.path, c.base, out, sizeof out), 0) << c.path;
        EXPECT_STREQ(out, c.expected) << c.path << " against " << c.base;
    }
    char small[4];
    errno = 0;
    EXPECT_EQ(fileutl_make_abs_pn("abcd", "/", small, sizeof small), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    errno = 0;
    EXPECT_EQ(fileutl_make_abs_pn("x", "relative", small, sizeof small), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST(FileutlPathNames, AbspnResolvesLinksAndDots) {
    TempDir dir;
    ASSERT_EQ(mkdir((dir / "real").c_str(), 0700), 0);
    ASSERT_EQ(symlink((dir / "real").c_str(), (dir / "link").c_str()), 0);
    char resolved_dir[FILEUTL_PATH_MAX];
    ASSERT_EQ(fileutl_abspn(dir.path().c_str(), resolved_dir, sizeof resolved_dir), 0);
    char out[FILEUTL_PATH_MAX];
    ASSERT_EQ(fileutl_abspn((dir / "link/../link/.").c_str(), out, sizeof out), 0);
    EXPECT_EQ(std::string(out), std::string(resolved_dir) + "/real");
    errno = 0;
    EXPECT_EQ(fileutl_abspn((dir / "missing").c_str(), out, sizeof out), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST(FileutlCp, CreatesOrReplacesTheDestination) {
    TempDir dir;
    // Several of the copy's pieces, the last one partial.
    std::string content;
    for (int i = 0; i < (5 << 19) + 7; ++i) content += static_cast<char>('a' + i % 26);
    const std::string src = dir / "src";
    write_file(src, content);
    ASSERT_EQ(chmod(src.c_str(), 0640), 0);

    ASSERT_EQ(fileutl_cp(src.c_str(), (dir / "new").c_str(), 0x48010), 0);
    EXPECT_EQ(read_file(dir / "new"), content);
    struct stat st;
    ASSERT_EQ(stat((dir / "new").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777 & ~0640u, 0u) << "the copy takes at most the source's permissions";

    write_file(dir / "old", std::string(3 << 20, 'z'));
    ASSERT_EQ(fileutl_cp(src.c_str(), (dir / "old").c_str(), 0x42010), 0);
    EXPECT_EQ(read_file(dir / "old"), content) << "a longer destination is truncated";
}

TEST(FileutlCp, RefusesWhatItCannotCopySafely) {
    TempDir dir;
    const std::string src = dir / "src";
    write_file(src, "keep me");
    ASSERT_EQ(symlink(src.c_str(), (dir / "alias").c_str()), 0);
    errno = 0;
    EXPECT_EQ(fileutl_cp(src.c_str(), (dir / "alias").c_str(), 0x2205), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(read_file(src), "keep me") << "copying a file onto itself must not empty it";

    errno = 0;
    EXPECT_EQ(fileutl_cp((dir / "missing").c_str(), (dir / "x").c_str(), 0), -1);
    EXPECT_EQ(errno, ENOENT);
    errno = 0;
    EXPECT_EQ(fileutl_cp(dir.path().c_str(), (dir / "x").c_str(), 0), -1);
    EXPECT_EQ(errno, EISDIR);
    EXPECT_FALSE(fileutl_exists((dir / "x").c_str(), 0));
}

// The copy takes what is left of its source from where it stands, tells
// before each piece is written how much went before, and names the side
// that failed.
TEST(FileutlCopyFd, CopiesTheRestInPiecesAndNamesTheFailedCall) {
    TempDir dir;
    const std::string source = dir / "source", copy = dir / "copy";
    // Two whole pieces of 1 MiB and a short one.
    std::string bytes((size_t{2} << 20) + 3, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 4096);
    write_file(source, "head" + bytes);
    const int in = open(source.c_str(), O_RDONLY | O_CLOEXEC);
    const int out = open(copy.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(in, 0);
    ASSERT_GE(out, 0);
    ASSERT_EQ(lseek(in, 4, SEEK_SET), 4);
    std::vector<off_t> before;
    const char* failed = "none";
    EXPECT_EQ(fileutl_copy_fd(in, out, &failed, [&](off_t written) { before.push_back(written); }), 0);
    EXPECT_STREQ(failed, "none");
    EXPECT_EQ(before, (std::vector<off_t>{0, off_t{1} << 20, off_t{2} << 20}));
    EXPECT_TRUE(read_file(copy) == bytes);

    // Read from a descriptor open for writing only, written to one open
    // for reading only.
    const struct {
        int from, to;
        const char* call;
    } failures[] = {{out, out, "read"}, {in, in, "write"}};
    for (const auto& f : failures) {
        SCOPED_TRACE(f.call);
        ASSERT_EQ(lseek(in, 0, SEEK_SET), 0);
        failed = "none";
        errno = 0;
        EXPECT_EQ(fileutl_copy_fd(f.from, f.to, &failed), -1);
        EXPECT_EQ(errno, EBADF);
        EXPECT_STREQ(failed, f.call);
    }
    close(in);
    close(out);
}

TEST(FileutlTmpfile, MakesDistinctExclusiveFiles) {
    TempDir dir;
    char first[FILEUTL_PATH_MAX];
    char second[FILEUTL_PATH_MAX];
    int fd1 = fileutl_tmpfile_ext_binary(dir.path().c_str(), "cltxt", first, sizeof first);
    int fd2 = fileutl_tmpfile_ext_binary(dir.path().c_str(), nullptr, second, sizeof second);
    ASSERT_GE(fd1, 0);
    ASSERT_GE(fd2, 0);
    EXPECT_STRNE(first, second);
    EXPECT_EQ(std::string(first).rfind(dir / "cltxt", 0), 0u);
    EXPECT_EQ(std::string(second).rfind(dir / "tmp", 0), 0u);
    EXPECT_EQ(fcntl(fd1, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    struct stat st;
    ASSERT_EQ(fstat(fd1, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_size, 0);
    close(fd1);
    close(fd2);

    char small[8];
    errno = 0;
    EXPECT_EQ(fileutl_tmpfile_ext_binary(dir.path().c_str(), "x", small, sizeof small), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    errno = 0;
    EXPECT_EQ(fileutl_tmpfile_ext_binary((dir / "missing").c_str(), "x", first, sizeof first), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST(FileutlCrc, MatchesTheStandardCheckValue) {
    uint32_t crc = 1;
    fileutl_crc_buffer("123456789", 9, &crc);
    EXPECT_EQ(crc, 0xCBF43926u);
    fileutl_crc_buffer("", 0, &crc);
    EXPECT_EQ(crc, 0u);
    fileutl_crc_buffer("The quick brown fox jumps over the lazy dog", 43, &crc);
    EXPECT_EQ(crc, 0x414FA339u);
}

}  // namespace
