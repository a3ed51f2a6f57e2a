// Records and fields: field writes with key upkeep, whole-record reads and
// rewrites, record scans, record deletion, set and member pointers, the
// optional-key bits, and the checks of numbers and addresses.
#include <cstring>
#include <string>
#include <vector>

#include "kesto_test_support.h"

namespace {

using kesto_test::EngineTest;
using kesto_test::KeyFileEntry;

const char *const kRecordSchema = R"(
database recs page 512
file d0 recs.d00 data
file d1 recs.d01 data
file k0 recs.k00 key
record SYS in d0 system
end
record PERSON in d0 timestamped
  NAME char[16] unique key in k0
  AGE int
  CITY char[12]
  NICK char[8] unique key in k0 optional
  compound CITY_AGE duplicate key in k0 = CITY, AGE desc
end
record NOTE in d1
  TEXT char[20]
  group POS
    X short
    Y short
  end
  TAG char[6] duplicate key in k0 optional
end
set PEOPLE order ascending owner SYS
  member PERSON sort NAME
end
set NOTES order last owner PERSON
  member NOTE
end
)";

constexpr int PERSON = 10001, NOTE = 10002, PEOPLE = 20000, NOTES = 20001;
constexpr int K0 = 2;

class RecordTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    layout_ = write_schema(kRecordSchema);
    ASSERT_EQ(dt_open("recs", "o", nullptr), S_OKAY);
    ASSERT_EQ(dt_initialize(nullptr, 0), S_OKAY);
  }

  const kesto_schema::FieldInfo &info(const char *rec, const char *name) {
    return layout_.records.at(rec).fields.at(name);
  }
  long number(const char *rec, const char *name) { return info(rec, name).number; }
  int data_offset(const char *rec) { return layout_.records.at(rec).data; }

  // The data part of a PERSON.
  std::vector<char> person_data(const char *name, int age, const char *city, const char *nick = "") {
    std::vector<char> d(static_cast<size_t>(layout_.records.at("PERSON").length - data_offset("PERSON")), 0);
    auto at = [&](const char *f) { return &d[static_cast<size_t>(info("PERSON", f).offset - data_offset("PERSON"))]; };
    std::strcpy(at("NAME"), name);
    std::memcpy(at("AGE"), &age, 4);
    std::strcpy(at("CITY"), city);
    std::strcpy(at("NICK"), nick);
    return d;
  }

  db_address person(const char *name, int age, const char *city) {
    std::vector<char> d = person_data(name, age, city);
    return kesto_test::make_record(PERSON, d.data());
  }

  db_address note(const char *text, int16_t x, int16_t y) {
    std::vector<char> d(static_cast<size_t>(layout_.records.at("NOTE").length - data_offset("NOTE")), 0);
    std::strcpy(&d[static_cast<size_t>(info("NOTE", "TEXT").offset - data_offset("NOTE"))], text);
    std::memcpy(&d[static_cast<size_t>(info("NOTE", "X").offset - data_offset("NOTE"))], &x, 2);
    std::memcpy(&d[static_cast<size_t>(info("NOTE", "Y").offset - data_offset("NOTE"))], &y, 2);
    return kesto_test::make_record(NOTE, d.data());
  }

  // The record at a current address, as its slot holds it.
  const char *slot(db_address dba) {
    char *rec = nullptr;
    EXPECT_EQ(dio_read(dba, &rec, 0), S_OKAY);
    return rec;
  }

  int find(const char *rec, const char *field, const void *value) {
    return dt_keyfind(number(rec, field), value, nullptr, 0);
  }

  std::vector<KeyFileEntry> entries() {
    std::vector<KeyFileEntry> e;
    EXPECT_TRUE(kesto_test::check_key_file(K0, &e));
    return e;
  }

  kesto_schema::Layout layout_;
};

TEST_F(RecordTest, AFieldWriteMovesItsKeyEntry) {
  db_address ann = person("Ann", 30, "Oslo");
  db_address bob = person("Bob", 40, "Rome");
  ASSERT_NE(ann, 0u);
  ASSERT_NE(bob, 0u);
  ASSERT_EQ(dt_crset(&ann, nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_crwrite(number("PERSON", "NAME"), "Eve", nullptr, 0), S_OKAY);
  EXPECT_EQ(find("PERSON", "NAME", "Ann"), S_NOTFOUND);
  ASSERT_EQ(find("PERSON", "NAME", "Eve"), S_OKAY);
  db_address dba = 0;
  ASSERT_EQ(dt_crget(&dba, nullptr, 0), S_OKAY);
  EXPECT_EQ(dba, ann);
  // A value another record holds is a duplicate; nothing changes.
  EXPECT_EQ(dt_crwrite(number("PERSON", "NAME"), "Bob", nullptr, 0), S_DUPLICATE);
  char name[16];
  ASSERT_EQ(dt_crread(number("PERSON", "NAME"), name, nullptr, 0), S_OKAY);
  EXPECT_STREQ(name, "Eve");
  // A component of a compound key changes only through the whole record.
  testing::internal::CaptureStderr();
  EXPECT_EQ(dt_crwrite(number("PERSON", "AGE"), "\x01\0\0", nullptr, 0), S_COMKEY);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(entries().size(), 4u);  // two names, two compound keys
}

TEST_F(RecordTest, AnUnchangedValueDoesNoKeyWork) {
  db_address ann = person("Ann", 30, "Oslo");
  ASSERT_EQ(find("PERSON", "NAME", "Ann"), S_OKAY);
  const key_position &kp = kt().key_pos[kt().field_table[info("PERSON", "NAME").index].key_number];
  ASSERT_EQ(kp.status, 1);
  // The same bytes: nothing at all.
  ASSERT_EQ(dt_crwrite(number("PERSON", "NAME"), "Ann", nullptr, 0), S_OKAY);
  EXPECT_EQ(kp.status, 1);
  // Different bytes after the string's end: stored again, NUL-filled, but
  // the key is the same.
  char *rec;
  ASSERT_EQ(dio_read(ann, &rec, 0), S_OKAY);
  std::memcpy(rec + info("PERSON", "NAME").offset, "Ann\0xyz", 7);
  ASSERT_EQ(dt_crwrite(number("PERSON", "NAME"), "Ann", nullptr, 0), S_OKAY);
  EXPECT_EQ(kp.status, 1);
  const char *stored = slot(ann) + info("PERSON", "NAME").offset;
  EXPECT_EQ(std::string(stored, 16), std::string("Ann", 3) + std::string(13, '\0'));
}

TEST_F(RecordTest, AnOptionalKeyIsKeptOnlyWhileStored) {
  db_address ann = person("Ann", 30, "Oslo");
  ASSERT_EQ(dt_crset(&ann, nullptr, 0), S_OKAY);
  size_t before = entries().size();
  ASSERT_EQ(dt_crwrite(number("PERSON", "NICK"), "annie", nullptr, 0), S_OKAY);
  EXPECT_EQ(entries().size(), before);  // not stored: no entry to move
  ASSERT_EQ(dt_keystore(number("PERSON", "NICK"), nullptr, 0), S_OKAY);
  EXPECT_EQ(entries().size(), before + 1);
  ASSERT_EQ(dt_crwrite(number("PERSON", "NICK"), "anna", nullptr, 0), S_OKAY);
  EXPECT_EQ(find("PERSON", "NICK", "annie"), S_NOTFOUND);
  EXPECT_EQ(find("PERSON", "NICK", "anna"), S_OKAY);
  EXPECT_EQ(entries().size(), before + 1);
}

TEST_F(RecordTest, RecordWriteKeepsEveryKey) {
  db_address ann = person("Ann", 30, "Oslo");
  db_address bob = person("Bob", 40, "Rome");
  ASSERT_EQ(dt_crset(&ann, nullptr, 0), S_OKAY);
  std::vector<char> data(person_data("Ann", 30, "Oslo").size());
  ASSERT_EQ(dt_recread(data.data(), nullptr, 0), S_OKAY);
  EXPECT_EQ(data, person_data("Ann", 30, "Oslo"));

  // Rewriting with its own values succeeds; with Bob's name it is refused
  // whole, even though other fields change too.
  ASSERT_EQ(dt_recwrite(data.data(), nullptr, 0), S_OKAY);
  std::vector<char> clash = person_data("Bob", 31, "Ulm");
  EXPECT_EQ(dt_recwrite(clash.data(), nullptr, 0), S_DUPLICATE);
  ASSERT_EQ(dt_recread(data.data(), nullptr, 0), S_OKAY);
  EXPECT_EQ(data, person_data("Ann", 30, "Oslo"));

  // A new name and a new compound key value.
  std::vector<char> moved = person_data("Cid", 31, "Ulm");
  ASSERT_EQ(dt_recwrite(moved.data(), nullptr, 0), S_OKAY);
  EXPECT_EQ(find("PERSON", "NAME", "Cid"), S_OKAY);
  EXPECT_EQ(find("PERSON", "NAME", "Ann"), S_NOTFOUND);
  char key[16] = {};
  std::strcpy(key, "Ulm");
  int age = 31;
  std::memcpy(key + 12, &age, 4);
  ASSERT_EQ(find("PERSON", "CITY_AGE", key), S_OKAY);
  db_address dba = 0;
  ASSERT_EQ(dt_crget(&dba, nullptr, 0), S_OKAY);
  EXPECT_EQ(dba, ann);
  std::strcpy(key, "Oslo");
  age = 30;
  std::memcpy(key + 12, &age, 4);
  EXPECT_EQ(find("PERSON", "CITY_AGE", key), S_NOTFOUND);
  EXPECT_EQ(entries().size(), 4u);
  (void)bob;
  // The update timestamp is the file's counter, and the task's copy too.
  uint32_t stamp = 0;
  ASSERT_EQ(dt_crset(&ann, nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_recwrite(person_data("Cid", 32, "Ulm").data(), nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_utscr(&stamp, nullptr, 0), S_OKAY);
  EXPECT_EQ(stamp, dio_pzgetts(0));
  EXPECT_EQ(kt().cr_time, stamp);
}

TEST_F(RecordTest, GroupWritesStoreTheirMembers) {
  db_address n = note("hello", 3, 4);
  ASSERT_EQ(dt_crset(&n, nullptr, 0), S_OKAY);
  int16_t pos[2] = {7, -8};
  ASSERT_EQ(dt_crwrite(number("NOTE", "POS"), pos, nullptr, 0), S_OKAY);
  int16_t x = 0, y = 0;
  ASSERT_EQ(dt_crread(number("NOTE", "X"), &x, nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_crread(number("NOTE", "Y"), &y, nullptr, 0), S_OKAY);
  EXPECT_EQ(x, 7);
  EXPECT_EQ(y, -8);
  EXPECT_EQ(struct_key_chk, 1);
}

TEST_F(RecordTest, AChangedSortFieldMovesAConnectedMemberWithinItsSortedSet) {
  db_address ann = person("Ann", 30, "Oslo");
  db_address bob = person("Bob", 40, "Rome");
  db_address cid = person("Cid", 50, "Ulm");
  db_address eve = person("Eve", 60, "Ulm");
  // Unconnected: the name just changes.
  ASSERT_EQ(dt_crset(&eve, nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_crwrite(number("PERSON", "NAME"), "Ed", nullptr, 0), S_OKAY);
  for (db_address p : {ann, bob, cid}) {
    ASSERT_EQ(dt_crset(&p, nullptr, 0), S_OKAY);
    ASSERT_EQ(dt_connect(PEOPLE, nullptr, 0), S_OKAY);  // owned by the system record
  }
  // Ann becomes Dan and moves behind Cid; the current record and the
  // set's current owner and member are as before.
  ASSERT_EQ(dt_csmset(PEOPLE, &bob, nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_crset(&ann, nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_crwrite(number("PERSON", "NAME"), "Dan", nullptr, 0), S_OKAY);
  std::vector<db_address> chain;
  ASSERT_TRUE(kesto_test::check_set(PEOPLE, 1, &chain));
  EXPECT_EQ(chain, (std::vector<db_address>{bob, cid, ann}));
  db_address dba = 0;
  ASSERT_EQ(dt_crget(&dba, nullptr, 0), S_OKAY);
  EXPECT_EQ(dba, ann);
  EXPECT_EQ(kt().curr_own[0], 1u);
  EXPECT_EQ(kt().curr_mem[0], bob);
  // The whole-record rewrite moves it too: Cid becomes Al, first.
  ASSERT_EQ(dt_crset(&cid, nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_recwrite(person_data("Al", 50, "Ulm").data(), nullptr, 0), S_OKAY);
  ASSERT_TRUE(kesto_test::check_set(PEOPLE, 1, &chain));
  EXPECT_EQ(chain, (std::vector<db_address>{cid, bob, ann}));
  EXPECT_EQ(entries().size(), 8u);  // four names, four compound keys
}

TEST_F(RecordTest, ScansPassDeletedSlotsAndOtherTypes) {
  db_address a = person("A", 1, "x");
  db_address b = person("B", 2, "x");
  db_address c = person("C", 3, "x");
  db_address d = person("D", 4, "x");
  ASSERT_EQ(r_delrec(1, b), S_OKAY);
  ASSERT_EQ(r_delrec(1, c), S_OKAY);
  std::vector<db_address> seen;
  for (int s = dt_recfrst(PERSON, nullptr, 0); s == S_OKAY; s = dt_recnext(nullptr, 0)) {
    db_address dba = 0;
    ASSERT_EQ(dt_crget(&dba, nullptr, 0), S_OKAY);
    seen.push_back(dba);
  }
  EXPECT_EQ(seen, (std::vector<db_address>{a, d}));  // the system record is passed over
  EXPECT_EQ(dt_recnext(nullptr, 0), S_NOTFOUND);
  EXPECT_EQ(dt_recnext(nullptr, 0), S_NOTFOUND);
  db_address dba = 0;
  ASSERT_EQ(dt_crget(&dba, nullptr, 0), S_OKAY);
  EXPECT_EQ(dba, d);
  // A type with no live record; the current record stays.
  EXPECT_EQ(dt_recfrst(NOTE, nullptr, 0), S_NOTFOUND);
  ASSERT_EQ(dt_crget(&dba, nullptr, 0), S_OKAY);
  EXPECT_EQ(dba, d);
  // A scan set to the current record goes on after it.
  ASSERT_EQ(dt_crset(&a, nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_recset(PERSON, nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_recnext(nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_crget(&dba, nullptr, 0), S_OKAY);
  EXPECT_EQ(dba, d);
  // A found record refreshes the current record's timestamp copy.
  uint32_t stamp = 0;
  ASSERT_EQ(dt_utscr(&stamp, nullptr, 0), S_OKAY);
  EXPECT_EQ(kt().cr_time, stamp);
}

TEST_F(RecordTest, DeletingARecordRemovesItsKeysAndFreesItsSlot) {
  db_address ann = person("Ann", 30, "Oslo");
  db_address bob = person("Bob", 40, "Rome");
  ASSERT_EQ(dt_crset(&ann, nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_crwrite(number("PERSON", "NICK"), "annie", nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_keystore(number("PERSON", "NICK"), nullptr, 0), S_OKAY);
  EXPECT_EQ(entries().size(), 5u);
  ASSERT_EQ(r_delrec(1, ann), S_OKAY);
  std::vector<KeyFileEntry> left = entries();
  ASSERT_EQ(left.size(), 2u);
  for (const KeyFileEntry &e : left) EXPECT_EQ(e.dba, bob);
  // The slot is on the deleted chain; its timestamps are equal.
  const char *rec = slot(ann);
  EXPECT_NE(rec_id(rec) & 0x8000, 0);
  EXPECT_EQ(get_u32(rec + 6), get_u32(rec + 10));
  EXPECT_EQ(kt().pgzero[0].head, ann & SLOT_MASK);
  // The current record now names a deleted slot.
  std::vector<char> data(64);
  EXPECT_EQ(dt_recread(data.data(), nullptr, 0), S_DELETED);
  EXPECT_EQ(dt_recwrite(data.data(), nullptr, 0), S_DELETED);
}

TEST_F(RecordTest, SetAndMemberPointers) {
  db_address ann = person("Ann", 30, "Oslo");
  db_address n = note("x", 0, 0);
  char *owner, *member;
  ASSERT_EQ(dio_read(ann, &owner, 1), S_OKAY);
  set_pointer sp{2, n, n + 1, 0};
  ASSERT_EQ(r_pset(1, owner, &sp), S_OKAY);
  set_pointer back{};
  ASSERT_EQ(r_gset(1, owner, &back), S_OKAY);
  EXPECT_EQ(back.total, 2u);
  EXPECT_EQ(back.first, n);
  EXPECT_EQ(back.last, n + 1);
  ASSERT_EQ(dio_write(ann, nullptr, 1), S_OKAY);

  ASSERT_EQ(dio_read(n, &member, 1), S_OKAY);
  member_pointer mp{0, 0, 0};
  ASSERT_EQ(r_pmem(1, member, &mp), S_OKAY);
  ASSERT_EQ(dio_write(n, nullptr, 1), S_OKAY);
  testing::internal::CaptureStderr();
  EXPECT_EQ(r_smem(&n, 1), S_NOTCON);
  ASSERT_EQ(dio_read(n, &member, 1), S_OKAY);
  mp = {ann, 0, 0};
  ASSERT_EQ(r_pmem(1, member, &mp), S_OKAY);
  ASSERT_EQ(dio_write(n, nullptr, 1), S_OKAY);
  ASSERT_EQ(r_smem(&n, 1), S_OKAY);
  EXPECT_EQ(kt().curr_own[1], ann);
  EXPECT_EQ(kt().curr_mem[1], n);

  // A note owns no set; a person is no member of NOTES.
  const char *person_rec = slot(ann);
  EXPECT_EQ(r_gset(1, slot(n), &back), S_INVOWN);
  EXPECT_EQ(r_gmem(1, person_rec, &mp), S_INVMEM);
  std::string err = testing::internal::GetCapturedStderr();
  for (const char *site : {"QVKDM0346E", "QVKDM0341E", "QVKDM0340E"})
    EXPECT_NE(err.find(site), std::string::npos) << site;
}

TEST_F(RecordTest, OptionalKeyBitsLieWhereTheirNumberSays) {
  struct Case {
    const char *what;
    const char *rec;
    int optional;
    int byte;
    unsigned char mask;
  } cases[] = {
      {"key 1, timestamped", "PERSON", 1, 14, 0x80},
      {"key 9, no timestamps", "NOTE", 9, 7, 0x80},
      {"key 3, no timestamps", "NOTE", 3, 6, 0x20},
  };
  for (const Case &c : cases) {
    field_entry fld{};
    fld.record = static_cast<int16_t>(layout_.records.at(c.rec).number - RECORD_BASE);
    fld.flags = static_cast<uint16_t>(c.optional << 10);
    std::vector<char> rec(64, 0);
    EXPECT_EQ(r_tstopt(&fld, rec.data()), S_OKAY) << c.what;
    ASSERT_EQ(r_setopt(&fld, rec.data()), S_OKAY) << c.what;
    EXPECT_EQ(static_cast<unsigned char>(rec[static_cast<size_t>(c.byte)]), c.mask) << c.what;
    EXPECT_EQ(r_tstopt(&fld, rec.data()), S_DUPLICATE) << c.what;
    ASSERT_EQ(r_clropt(&fld, rec.data()), S_OKAY) << c.what;
    EXPECT_EQ(rec, std::vector<char>(64, 0)) << c.what;
  }
  field_entry plain{};
  std::vector<char> rec(64, 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(r_tstopt(&plain, rec.data()), S_SYSERR);
  EXPECT_EQ(r_setopt(&plain, rec.data()), S_SYSERR);
  EXPECT_EQ(r_clropt(&plain, rec.data()), S_SYSERR);
  std::string err = testing::internal::GetCapturedStderr();
  for (const char *site : {"QVKDM0349E", "QVKDM0347E", "QVKDM0348E"})
    EXPECT_NE(err.find(site), std::string::npos) << site;
}

TEST_F(RecordTest, ErrorStatuses) {
  db_address ann = person("Ann", 30, "Oslo");
  db_address n = note("x", 0, 0);
  const int changed_pages = dio_modheld();
  std::vector<char> data(64);
  db_address beyond = ann + 100, other_file = 0x07000001, two = 0x02000001, zero = 0x00000009;
  testing::internal::CaptureStderr();
  struct Case {
    const char *what;
    int got;
    int status;
    const char *site;
  } cases[] = {
      {"record read, no current record", (dt_crset(nullptr, nullptr, 0), dt_recread(data.data(), nullptr, 0)),
       S_NOCR, "QVKDM0324E"},
      {"record write, no current record", dt_recwrite(data.data(), nullptr, 0), S_NOCR, "QVKDM0318E"},
      {"scan of an unknown type", dt_recfrst(10003, nullptr, 0), S_INVREC, "QVKDM0402E"},
      {"next without a scan", dt_recnext(nullptr, 0), S_NOCRTYPE, "QVKDM0337E"},
      {"scan set in another file", (dt_crset(&n, nullptr, 0), dt_recset(PERSON, nullptr, 0)), S_INVREC,
       "QVKDM0323E"},
      {"field of another type", r_chkfld(info("PERSON", "AGE").index, &kt().field_table[info("PERSON", "AGE").index],
                                          slot(n), "x"),
       S_INVFLD, "QVKDM0338E"},
      {"field number out of range", dt_crread(1999, data.data(), nullptr, 0), S_INVFLD, "QVKDM0401E"},
      {"set number out of range", nset_check(20005, nullptr, nullptr), S_INVSET, "QVKDM0400E"},
      {"address beyond the file", check_dba(beyond), S_INVADDR, "QVKDM0404E"},
      {"address in no file", check_dba(other_file), S_INVADDR, "QVKDM0403E"},
  };
  std::string err = testing::internal::GetCapturedStderr();
  for (const Case &c : cases) {
    EXPECT_EQ(c.got, c.status) << c.what;
    EXPECT_NE(err.find(c.site), std::string::npos) << c.what << ": " << c.site;
  }
  EXPECT_EQ(ADDRcmp(&two, &zero), 2);
  EXPECT_EQ(ADDRcmp(&zero, &two), -2);

  // A slot whose id or address is not the record's.
  ASSERT_EQ(dt_crset(&ann, nullptr, 0), S_OKAY);
  char *rec;
  ASSERT_EQ(dio_read(ann, &rec, 0), S_OKAY);
  put_u32(rec + 2, ann + 1);
  testing::internal::CaptureStderr();
  EXPECT_EQ(dt_recread(data.data(), nullptr, 0), S_INVADDR);
  put_u32(rec + 2, ann);
  put_u16(rec, 0x0033);
  EXPECT_EQ(dt_recread(data.data(), nullptr, 0), S_INVREC);
  EXPECT_EQ(dt_recwrite(data.data(), nullptr, 0), S_INVREC);
  err = testing::internal::GetCapturedStderr();
  for (const char *site : {"QVKDM0326E", "QVKDM0325E", "QVKDM0319E"})
    EXPECT_NE(err.find(site), std::string::npos) << site;
  put_u16(rec, 1);
  // The lock bit reads as a lock report, not as part of the type.
  put_u16(rec, 1 | RLB_MASK);
  EXPECT_EQ(dt_recread(data.data(), nullptr, 0), S_OKAY);
  EXPECT_EQ(rlb_status, S_LOCKED);
  EXPECT_EQ(dio_modheld(), changed_pages);  // no failure left a page held
}

}  // namespace
