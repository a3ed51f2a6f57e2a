// Host-name file and file objects.
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/server/server.h"

namespace {

int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

class ServerFilesTest : public testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/server_files_test.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    dir_ = dir;
    old_umask_ = umask(022);
  }
  void TearDown() override {
    umask(old_umask_);
    nftw(dir_.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
  }

  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  std::string read(const std::string& name) const {
    std::ifstream f(path(name));
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  }
  void write(const std::string& name, const std::string& text) const { std::ofstream(path(name)) << text; }
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    DIR* d = opendir(dir_.c_str());
    while (dirent* e = readdir(d)) {
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    }
    closedir(d);
    return names;
  }
  struct stat lstatOf(const std::string& name) const {
    struct stat st;
    EXPECT_EQ(0, lstat(path(name).c_str(), &st)) << name;
    return st;
  }

  std::string dir_;
  mode_t old_umask_ = 0;
};

std::string myHost() {
  char host[SERVER_HOSTNAME_SIZE + 1] = {};
  gethostname(host, SERVER_HOSTNAME_SIZE);
  return host;
}

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

TEST_F(ServerFilesTest, HostNameFileNamesThisHostAndItsMaker) {
  credutl_sid_credentials_t creds;
  ASSERT_EQ(0, credutl_get_sid_credentials(&creds));
  ASSERT_EQ(0, server_create_hostname_file(dir_.c_str(), myHost().c_str(), &creds));
  EXPECT_EQ((std::vector<std::string>{SERVER_HOSTNAME_FILE}), entries());  // no temporary left

  char user[CREDUTL_SID_STR_MAX + 1], group[CREDUTL_SID_STR_MAX + 1];
  credutl_sid_to_str(&creds.user_sid, user, sizeof user);
  credutl_sid_to_str(&creds.group_sid, group, sizeof group);
  EXPECT_EQ("host=" + myHost() + "\nuser=" + user + "\ngroup=" + group + "\n", read(SERVER_HOSTNAME_FILE));

  char registered[SERVER_HOSTNAME_SIZE];
  EXPECT_EQ(1, server_validate_hostname(dir_.c_str(), registered));
  EXPECT_EQ(myHost(), registered);
  // Host names do not depend on letter case.
  ASSERT_EQ(0, server_create_hostname_file(dir_.c_str(), upper(myHost()).c_str(), nullptr));
  EXPECT_EQ(1, server_validate_hostname(dir_.c_str(), registered));
}

TEST_F(ServerFilesTest, OtherHostIsReportedWithItsName) {
  struct Case {
    std::string content;
    int result;
    std::string registered;
  };
  std::string long_host(100, 'h');
  const Case cases[] = {
      {"host=elsewhere.example\nuser=S-1-22-1-0\n", 0, "elsewhere.example"},
      {"host=" + long_host + "\n", 0, std::string(SERVER_HOSTNAME_SIZE - 1, 'h')},  // cut, terminated
      {"host=\n", -1, ""},
      {"garbage\n", -1, ""},
  };
  for (const Case& c : cases) {
    write(SERVER_HOSTNAME_FILE, c.content);
    char registered[SERVER_HOSTNAME_SIZE];
    std::memset(registered, 'x', sizeof registered);
    EXPECT_EQ(c.result, server_validate_hostname(dir_.c_str(), registered)) << c.content;
    EXPECT_EQ(c.registered, std::string(registered)) << c.content;
  }
  char registered[SERVER_HOSTNAME_SIZE];
  EXPECT_EQ(-1, server_validate_hostname(path("missing").c_str(), registered));
  EXPECT_EQ(ENOENT, errno);
  EXPECT_EQ('\0', registered[0]);
}

TEST_F(ServerFilesTest, BadHostNamesAreRefused) {
  for (const std::string& bad : {std::string(), std::string(SERVER_HOSTNAME_SIZE, 'h'), std::string("a\nb")}) {
    EXPECT_EQ(-1, server_create_hostname_file(dir_.c_str(), bad.c_str(), nullptr));
    EXPECT_EQ(EINVAL, errno);
  }
  EXPECT_TRUE(entries().empty());
  EXPECT_EQ(-1, server_create_hostname_file(path("missing").c_str(), "h", nullptr));
  EXPECT_EQ(ENOENT, errno);
}

TEST_F(ServerFilesTest, CreateAppliesModeExactlyAndRefusesExistingNames) {
  const credutl_sid_t* me = credutl_getusid();
  credutl_sid_t my_group;
  credutl_gid_to_sid(getgid(), &my_group);

  ASSERT_EQ(0, server_create_fsobj(path("f").c_str(), me, &my_group, 0664, 0));
  ASSERT_EQ(0, server_create_fsobj(path("d").c_str(), &CREDUTL_SID_DONTCARE, nullptr, 02775, 1));
  struct stat f = lstatOf("f"), d = lstatOf("d");
  EXPECT_TRUE(S_ISREG(f.st_mode));
  EXPECT_EQ(0664u, f.st_mode & 07777u);  // not narrowed by the umask
  EXPECT_TRUE(S_ISDIR(d.st_mode));
  EXPECT_EQ(02775u, d.st_mode & 07777u);
  EXPECT_EQ(getuid(), f.st_uid);
  EXPECT_EQ(getgid(), f.st_gid);

  EXPECT_EQ(-1, server_create_fsobj(path("f").c_str(), me, nullptr, 0600, 0));
  EXPECT_EQ(EEXIST, errno);
  EXPECT_EQ(-1, server_create_fsobj(path("d").c_str(), me, nullptr, 0700, 1));
  EXPECT_EQ(EEXIST, errno);
  EXPECT_EQ(0664u, lstatOf("f").st_mode & 07777u);  // the existing file is untouched

  // A name through a symbolic link is not followed into creating the target.
  ASSERT_EQ(0, symlink(path("target").c_str(), path("link").c_str()));
  EXPECT_EQ(-1, server_create_fsobj(path("link").c_str(), me, nullptr, 0600, 0));
  EXPECT_NE(0, access(path("target").c_str(), F_OK));
}

TEST_F(ServerFilesTest, OwnershipChangesHappenOnlyWherePermitted) {
  credutl_sid_t other_user, other_group;
  credutl_uid_to_sid(4242, &other_user);
  credutl_gid_to_sid(4343, &other_group);
  ASSERT_EQ(0, server_create_fsobj(path("f").c_str(), &other_user, &other_group, 0640, 0));
  struct stat st = lstatOf("f");
  if (geteuid() == 0) {
    EXPECT_EQ(4242u, st.st_uid);
    EXPECT_EQ(4343u, st.st_gid);
  } else {
    // Not permitted: the object keeps the creator as owner, and is still made.
    EXPECT_EQ(geteuid(), st.st_uid);
  }
  EXPECT_EQ(0640u, st.st_mode & 07777u);
}

TEST_F(ServerFilesTest, ProtectAndReadProtections) {
  write("f", "x");
  credutl_sid_t my_group;
  credutl_gid_to_sid(getgid(), &my_group);
  ASSERT_EQ(0, server_protect_fsobj(path("f").c_str(), credutl_getusid(), &my_group, -1, 0604));
  EXPECT_EQ(0604u, lstatOf("f").st_mode & 07777u);

  int fd = open(path("f").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(0, server_protect_fsobj(nullptr, nullptr, nullptr, fd, 0640));
  close(fd);
  EXPECT_EQ(0640u, lstatOf("f").st_mode & 07777u);

  // A symbolic link gets no mode: its target keeps its own.
  ASSERT_EQ(0, symlink(path("f").c_str(), path("link").c_str()));
  ASSERT_EQ(0, server_protect_fsobj(path("link").c_str(), nullptr, nullptr, -1, 0777));
  EXPECT_EQ(0640u, lstatOf("f").st_mode & 07777u);

  server_fsobj_prot_t prot;
  ASSERT_EQ(0, server_get_fsobj_protections(path("f").c_str(), &prot));
  EXPECT_TRUE(credutl_sid_eq(credutl_getusid(), &prot.owner));
  EXPECT_TRUE(credutl_sid_eq(&my_group, &prot.group));
  EXPECT_TRUE(S_ISREG(prot.mode));
  EXPECT_EQ(0640u, prot.mode & 07777u);
  ASSERT_EQ(0, server_get_fsobj_protections(path("link").c_str(), &prot));
  EXPECT_TRUE(S_ISLNK(prot.mode));

  EXPECT_EQ(ENOENT, server_get_fsobj_protections(path("missing").c_str(), &prot));
  EXPECT_EQ(-1, server_get_fsobj_protections(nullptr, &prot));
  EXPECT_EQ(-1, server_protect_fsobj(path("missing").c_str(), nullptr, nullptr, -1, 0600));
  EXPECT_EQ(ENOENT, errno);
}

TEST_F(ServerFilesTest, RemoveTreeDepthFirstWithoutFollowingLinks) {
  // outside/keep must survive a link to it inside the tree.
  ASSERT_EQ(0, mkdir(path("outside").c_str(), 0700));
  write("outside/keep", "k");
  for (const char* d : {"t", "t/a", "t/a/b", "t/c"}) ASSERT_EQ(0, mkdir(path(d).c_str(), 0700));
  for (const char* f : {"t/1", "t/a/2", "t/a/b/3"}) write(f, "x");
  ASSERT_EQ(0, symlink(path("outside").c_str(), path("t/a/out").c_str()));

  // Without the top flag only the contents go.
  ASSERT_EQ(0, server_remove_tree(path("t").c_str(), SERVER_RMTREE_CONTINUE));
  EXPECT_TRUE(S_ISDIR(lstatOf("t").st_mode));
  DIR* t = opendir(path("t").c_str());
  int left = 0;
  while (dirent* e = readdir(t)) left += std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0;
  closedir(t);
  EXPECT_EQ(0, left);
  EXPECT_EQ("k", read("outside/keep"));

  write("t/again", "x");
  ASSERT_EQ(0, server_remove_tree(path("t").c_str(), SERVER_RMTREE_TOP | SERVER_RMTREE_CONTINUE));
  EXPECT_NE(0, access(path("t").c_str(), F_OK));

  EXPECT_EQ(-1, server_remove_tree(path("t").c_str(), 3));
  EXPECT_EQ(ENOENT, errno);

  // A link named as the tree is removed as a link.
  ASSERT_EQ(0, symlink(path("outside").c_str(), path("l").c_str()));
  ASSERT_EQ(0, server_remove_tree(path("l").c_str(), 3));
  EXPECT_EQ("k", read("outside/keep"));

  ASSERT_EQ(0, server_remove_fsobj(path("outside/keep").c_str()));
  EXPECT_EQ(-1, server_remove_fsobj(path("outside/keep").c_str()));
  EXPECT_EQ(ENOENT, errno);
}
