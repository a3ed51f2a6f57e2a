// A private $KORVA_ROOT per test, and builders of the command records.
#pragma once

#include <ftw.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/korva/korva.h"
#include "platform/korva/korva_registry.h"

namespace korva_test {

// One command issued through a fresh handle, as the daemon does.
struct Issued {
  int error = -1;
  int status = -1;
};

inline Issued unregisterView(const char* tag);

inline int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

class KorvaRootTest : public testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/korva_test.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    base_ = dir;
    root_ = base_ + "/root";  // made by the first call
    setenv("KORVA_ROOT", root_.c_str(), 1);
  }
  void TearDown() override {
    // A view left registered would leave its channel's thread running into
    // the next test (which may fork).
    for (const std::string& tag : korva::Registry(korva::Root(root_)).viewTags()) unregisterView(tag.c_str());
    unsetenv("KORVA_ROOT");
    nftw(base_.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
  }

  std::string base_;
  std::string root_;
};

inline qel_uuid_s uuidOf(unsigned char fill) {
  qel_uuid_s id;
  std::memset(id.bytes, fill, sizeof id.bytes);
  return id;
}

inline qel_oid_s oidOf(unsigned char fill) {
  qel_oid_s id;
  std::memset(id.bytes, fill, sizeof id.bytes);
  return id;
}

// Text form of an id of 16 bytes `fill`, written out independently of qel.
inline std::string idText(unsigned char fill) {
  char two[3];
  std::snprintf(two, sizeof two, "%02x", fill);
  std::string t;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) t += '-';
    t += two;
  }
  return t;
}


inline Issued issue(korvacmd_block& block) {
  Issued r;
  int open_status = -1;
  korva_handle_t h = korva_view_root_open_type(KORVA_VIEWROOT_AUTOMATIC, &open_status);
  EXPECT_NE(nullptr, h) << open_status;
  if (h == nullptr) return r;
  block.status = -1;
  korva_mcb_cmd(h, &block, &r.error);
  r.status = block.status;
  korva_view_root_close_type(KORVA_VIEWROOT_AUTOMATIC, h);
  return r;
}

template <typename Record>
korvacmd_block blockOf(uint32_t command, Record* record, const char* first = nullptr,
                       const char* second = nullptr) {
  korvacmd_block b;
  std::memset(&b, 0, sizeof b);
  b.command = command;
  b.flags = KORVA_MCB_CASE_SENSITIVE;
  b.first_text = korva_text_of(first);
  b.second_text = korva_text_of(second);
  b.record_size = sizeof(Record);
  b.record = record;
  return b;
}

inline Issued registerView(const char* tag, unsigned char uuid_fill, const char* storage) {
  korva_view_record r;
  std::memset(&r, 0, sizeof r);
  r.view_tag = korva_text_of(tag);
  r.storage_user = korva_text_of(storage);
  r.storage_kernel = korva_text_of(storage);
  r.host = korva_text_of("host1");
  r.remote_path = korva_text_of(storage);
  r.view_uuid = uuidOf(uuid_fill);
  korvacmd_block b = blockOf(KORVA_MCB_REGISTER_VIEW, &r);
  return issue(b);
}

inline Issued unregisterView(const char* tag) {
  korva_text t = korva_text_of(tag);
  korvacmd_block b = blockOf(KORVA_MCB_UNREGISTER_VIEW, &t);
  return issue(b);
}

inline Issued mountVob(const char* view_tag, const char* vob_tag, const char* storage,
                       unsigned char replica_fill, unsigned char family_fill) {
  korva_mount_record r;
  std::memset(&r, 0, sizeof r);
  r.header_a = 12;
  r.header_b = 248;
  r.one = 1;
  r.vob_tag = korva_text_of(vob_tag);
  r.host = korva_text_of("host1");
  r.view_storage = korva_text_of("/stg/v1");
  r.view_storage_again = r.view_storage;
  r.vob_storage = korva_text_of(storage);
  r.family_oid = oidOf(family_fill);
  r.replica_uuid = uuidOf(replica_fill);
  r.word_3000 = 3000;
  r.word_1 = 1;
  korvacmd_block b = blockOf(KORVA_MCB_MOUNT_VOB, &r, view_tag, view_tag);
  b.flags = 0;
  return issue(b);
}

inline Issued umountVob(const char* view_tag, const char* vob_tag, unsigned char replica_fill) {
  korva_umount_record r;
  std::memset(&r, 0, sizeof r);
  r.vob_tag = korva_text_of(vob_tag);
  r.replica_uuid = uuidOf(replica_fill);
  korvacmd_block b = blockOf(KORVA_MCB_UMOUNT_VOB, &r, view_tag, view_tag);
  b.flags = 0;
  return issue(b);
}

inline Issued invalidate(const std::string& view_root_dir, uint32_t kind, unsigned char uuid_fill,
                         unsigned char oid_fill, const char* name, uint32_t vob_op) {
  korva_inval_record r;
  std::memset(&r, 0, sizeof r);
  r.magic = 5;
  r.vob_uuid = uuidOf(uuid_fill);
  r.oid = oidOf(oid_fill);
  r.kind = kind;
  r.name = korva_text_of(name);
  r.vob_op = vob_op;
  korvacmd_block b = blockOf(KORVA_MCB_INVALIDATE, &r, view_root_dir.c_str(), "");
  return issue(b);
}

}  // namespace korva_test
