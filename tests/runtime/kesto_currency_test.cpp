// Currency registers, currency timestamps, and the one-user lock calls.
#include <cstring>
#include <string>
#include <vector>

#include "kesto_test_support.h"

namespace {

using kesto_test::EngineTest;
using kesto_test::FaultyIo;

class CurrencyTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    open_people();
  }

  const kesto_schema::FieldInfo &field(const char *rec, const char *name) {
    return people_.records.at(rec).fields.at(name);
  }

  // Stores a record of type `rec` (PERSON or CAR) in a new slot.
  db_address make(const char *rec, const char *text, int age = 0, uint32_t stamp = 0) {
    uint32_t slot = 0;
    EXPECT_EQ(dio_pzalloc(0, &slot), S_OKAY);
    std::vector<char> image(static_cast<size_t>(people_.files.at("d0").slot_size), 0);
    bool person = std::strcmp(rec, "PERSON") == 0;
    put_u16(&image[0], person ? 1 : 2);
    put_u32(&image[2], slot);
    if (person) {
      put_u32(&image[6], stamp);
      put_u32(&image[10], stamp);
      std::strcpy(&image[static_cast<size_t>(field("PERSON", "NAME").offset)], text);
      put_u32(&image[static_cast<size_t>(field("PERSON", "AGE").offset)], static_cast<uint32_t>(age));
      std::strcpy(&image[static_cast<size_t>(field("PERSON", "CITY").offset)], "Oslo");
    } else {
      std::strcpy(&image[static_cast<size_t>(field("CAR", "PLATE").offset)], text);
    }
    EXPECT_EQ(dio_write_slot(0, slot, image.data(), 0), S_OKAY);
    return slot;
  }

  static constexpr int PEOPLE = 20001, OWNS = 20000;
};

TEST_F(CurrencyTest, CurrentRecordRegister) {
  db_address dba = 0;
  EXPECT_EQ(dt_crget(&dba, nullptr, 0), S_OKAY);
  EXPECT_EQ(dba, 1u);  // the system record after the open
  EXPECT_EQ(dt_crset(nullptr, nullptr, 0), S_OKAY);
  testing::internal::CaptureStderr();
  EXPECT_EQ(dt_crget(&dba, nullptr, 0), S_NOCR);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");  // callers may probe
  int type = 0;
  testing::internal::CaptureStderr();
  EXPECT_EQ(dt_crtype(&type, nullptr, 0), S_NOCR);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("QVKDM0187E"), std::string::npos);

  db_address ann = make("PERSON", "Ann", 30);
  ASSERT_EQ(dt_crset(&ann, nullptr, 0), S_OKAY);
  EXPECT_EQ(dt_crtype(&type, nullptr, 0), S_OKAY);
  EXPECT_EQ(type, 10001);
  // The lock bit does not change the type.
  ASSERT_EQ(dt_rlbset(nullptr, 0), S_OKAY);
  EXPECT_EQ(dt_crtype(&type, nullptr, 0), S_OKAY);
  EXPECT_EQ(type, 10001);

  // Addresses outside the file or the database leave the register alone.
  testing::internal::CaptureStderr();
  db_address beyond = ann + 1, other_file = 0x05000001;
  EXPECT_EQ(dt_crset(&beyond, nullptr, 0), S_INVADDR);
  EXPECT_EQ(dt_crset(&other_file, nullptr, 0), S_INVADDR);
  err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("QVKDM0404E"), std::string::npos);
  EXPECT_NE(err.find("QVKDM0403E"), std::string::npos);
  EXPECT_EQ(dt_crget(&dba, nullptr, 0), S_OKAY);
  EXPECT_EQ(dba, ann);
  // An address from outside can be checked first without a report.
  testing::internal::CaptureStderr();
  EXPECT_EQ(dt_dbavalid(&ann, nullptr, 0), S_OKAY);
  EXPECT_EQ(dt_dbavalid(&beyond, nullptr, 0), S_INVADDR);
  EXPECT_EQ(dt_dbavalid(&other_file, nullptr, 0), S_INVADDR);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

  // A deleted slot clears the register with status 6.
  db_address bob = make("PERSON", "Bob");
  ASSERT_EQ(dio_pzdel(0, bob), S_OKAY);
  EXPECT_EQ(dt_crset(&bob, nullptr, 0), S_DELETED);
  EXPECT_EQ(dt_crget(&dba, nullptr, 0), S_NOCR);
}

TEST_F(CurrencyTest, FailedReadLeavesTheRegisterAsItWas) {
  db_address ann = make("PERSON", "Ann");
  db_address far = 0;
  for (int i = 0; i < 20 * people_.files.at("d0").slots; ++i) far = make("CAR", "c");
  ASSERT_EQ(dt_crset(&ann, nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_close(nullptr), S_OKAY);
  ASSERT_EQ(dt_open("people", "o", nullptr), S_OKAY);
  ASSERT_EQ(dt_crset(&ann, nullptr, 0), S_OKAY);
  FaultyIo io;
  io.fail(FaultyIo::PREAD, 1, EIO);
  testing::internal::CaptureStderr();
  EXPECT_EQ(dt_crset(&far, nullptr, 0), S_SYSERR);
  testing::internal::GetCapturedStderr();
  db_address dba = 0;
  EXPECT_EQ(dt_crget(&dba, nullptr, 0), S_OKAY);
  EXPECT_EQ(dba, ann);
}

TEST_F(CurrencyTest, FieldReadsAndRefusedWrites) {
  db_address ann = make("PERSON", "Ann", 41);
  ASSERT_EQ(dt_crset(&ann, nullptr, 0), S_OKAY);
  char name[20];
  ASSERT_EQ(dt_crread(field("PERSON", "NAME").number, name, nullptr, 0), S_OKAY);
  EXPECT_STREQ(name, "Ann");
  char key[20];
  ASSERT_EQ(dt_crread(field("PERSON", "CITY_AGE").number, key, nullptr, 0), S_OKAY);
  EXPECT_STREQ(key, "Oslo");
  EXPECT_EQ(get_u32(key + 16), 41u);
  testing::internal::CaptureStderr();
  char plate[8];
  EXPECT_EQ(dt_crread(field("CAR", "PLATE").number, plate, nullptr, 0), S_INVFLD);
  EXPECT_EQ(dt_crread(1999, plate, nullptr, 0), S_INVFLD);
  // Compound keys and their parts are refused before currency is looked at.
  ASSERT_EQ(dt_crset(nullptr, nullptr, 0), S_OKAY);
  EXPECT_EQ(dt_crwrite(field("PERSON", "CITY_AGE").number, key, nullptr, 0), S_ISCOMKEY);
  EXPECT_EQ(dt_crwrite(field("PERSON", "AGE").number, key, nullptr, 0), S_COMKEY);
  EXPECT_EQ(dt_crwrite(field("PERSON", "NAME").number, "Eve", nullptr, 0), S_NOCR);
  EXPECT_EQ(dt_crread(field("PERSON", "NAME").number, name, nullptr, 0), S_NOCR);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("QVKDM0339E"), std::string::npos);
  EXPECT_NE(err.find("QVKDM0401E"), std::string::npos);
  EXPECT_NE(err.find("QVKDM0184E"), std::string::npos);
  EXPECT_NE(err.find("QVKDM0185E"), std::string::npos);
  EXPECT_NE(err.find("QVKDM0186E"), std::string::npos);
  // Writing a key field replaces its key entry; a record made here without
  // its entries shows the key file's inconsistency, and a refused write
  // leaves the record as it was.
  ASSERT_EQ(dt_crset(&ann, nullptr, 0), S_OKAY);
  testing::internal::CaptureStderr();
  EXPECT_EQ(dt_crwrite(field("PERSON", "NAME").number, "Eve", nullptr, 0), S_KEYERR);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("QVKDM0343E"), std::string::npos);
  ASSERT_EQ(dt_crread(field("PERSON", "NAME").number, name, nullptr, 0), S_OKAY);
  EXPECT_STREQ(name, "Ann");
  EXPECT_EQ(dio_modheld(), 1);  // the new record's page; the refused write released its hold
}

TEST_F(CurrencyTest, SetOwnerRegister) {
  db_address ann = make("PERSON", "Ann");
  db_address car = make("CAR", "AB123");
  db_address dba = 0;
  EXPECT_EQ(dt_csoget(PEOPLE, &dba, nullptr, 0), S_OKAY);
  EXPECT_EQ(dba, 1u);
  EXPECT_EQ(dt_csoget(OWNS, &dba, nullptr, 0), S_NOCO);
  kt().curr_mem[1] = ann;
  testing::internal::CaptureStderr();
  // A person cannot own the set of all people: both registers stay.
  EXPECT_EQ(dt_csoset(PEOPLE, &ann, nullptr, 0), S_INVOWN);
  EXPECT_EQ(dt_csoset(20002, &ann, nullptr, 0), S_INVSET);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("QVKDM0177E"), std::string::npos);
  EXPECT_NE(err.find("QVKDM0400E"), std::string::npos);
  EXPECT_EQ(kt().curr_own[1], 1u);
  EXPECT_EQ(kt().curr_mem[1], ann);
  // A valid owner clears the set's current member.
  kt().curr_mem[0] = car;
  ASSERT_EQ(dt_csoset(OWNS, &ann, nullptr, 0), S_OKAY);
  EXPECT_EQ(kt().curr_own[0], ann);
  EXPECT_EQ(kt().curr_mem[0], 0u);
  char name[20];
  ASSERT_EQ(dt_csoread(OWNS, field("PERSON", "NAME").number, name, nullptr, 0), S_OKAY);
  EXPECT_STREQ(name, "Ann");
  ASSERT_EQ(dt_csoset(OWNS, nullptr, nullptr, 0), S_OKAY);
  testing::internal::CaptureStderr();
  EXPECT_EQ(dt_csoread(OWNS, field("PERSON", "NAME").number, name, nullptr, 0), S_NOCO);
  EXPECT_EQ(dt_csowrite(OWNS, field("PERSON", "NAME").number, name, nullptr, 0), S_NOCO);
  EXPECT_EQ(dt_csowrite(OWNS, field("PERSON", "CITY_AGE").number, name, nullptr, 0), S_ISCOMKEY);
  err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("QVKDM0178E"), std::string::npos);
  EXPECT_NE(err.find("QVKDM0176E"), std::string::npos);
  EXPECT_NE(err.find("QVKDM0174E"), std::string::npos);
}

TEST_F(CurrencyTest, CurrencyTimestamps) {
  db_address ann = make("PERSON", "Ann", 1, 77);
  db_address car = make("CAR", "X");
  uint32_t stamp = 1;
  ASSERT_EQ(dt_crset(&ann, nullptr, 0), S_OKAY);
  EXPECT_EQ(dt_utscr(&stamp, nullptr, 0), S_OKAY);
  EXPECT_EQ(stamp, 77u);
  ASSERT_EQ(dt_crset(&car, nullptr, 0), S_OKAY);
  EXPECT_EQ(dt_utscr(&stamp, nullptr, 0), S_OKAY);
  EXPECT_EQ(stamp, 0u);
  ASSERT_EQ(dt_csoset(OWNS, &ann, nullptr, 0), S_OKAY);
  EXPECT_EQ(dt_utsco(OWNS, &stamp, nullptr, 0), S_OKAY);
  EXPECT_EQ(stamp, 77u);
  EXPECT_EQ(dt_utscs(OWNS, &stamp, nullptr, 0), S_OKAY);
  EXPECT_EQ(stamp, 0u);
  testing::internal::CaptureStderr();
  EXPECT_EQ(dt_utscm(OWNS, &stamp, nullptr, 0), S_NOCM);
  kt().curr_mem[0] = car;
  ASSERT_EQ(dio_pzdel(0, car), S_OKAY);
  EXPECT_EQ(dt_utscm(OWNS, &stamp, nullptr, 0), S_DELETED);
  ASSERT_EQ(dt_crset(nullptr, nullptr, 0), S_OKAY);
  EXPECT_EQ(dt_utscr(&stamp, nullptr, 0), S_NOCR);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("QVKDM0204E"), std::string::npos);
  EXPECT_NE(err.find("QVKDM0200E"), std::string::npos);
}

TEST_F(CurrencyTest, LockCallsInTheOneUserMode) {
  struct Case {
    const char *what;
    int status;
    int got;
  };
  LOCK_REQUEST req[] = {{99, 'q'}};
  char state = 0;
  const Case cases[] = {
      {"dt_lock ignores its requests", S_OKAY, dt_lock(1, req, nullptr, 0)},
      {"record lock", S_OKAY, dt_reclock(10001, 'w', nullptr, 0)},
      {"record lock, any letter", S_OKAY, dt_reclock(10001, '?', nullptr, 0)},
      {"set lock", S_OKAY, dt_setlock(OWNS, 'r', nullptr, 0)},
      {"key lock", S_OKAY, dt_keylock(1000, 'x', nullptr, 0)},
      {"compound key lock", S_OKAY, dt_keylock(1003, 'r', nullptr, 0)},
      {"record free", S_OKAY, dt_recfree(10001, nullptr, 0)},
      {"set free", S_OKAY, dt_setfree(PEOPLE, nullptr, 0)},
      {"key free", S_OKAY, dt_keyfree(2000, nullptr, 0)},
      {"free all", S_OKAY, dt_freeall(nullptr)},
      {"timeout", S_OKAY, dt_timeout(30, nullptr)},
      {"record state", S_OKAY, dt_reclstat(10001, &state, nullptr, 0)},
  };
  for (const Case &c : cases) EXPECT_EQ(c.got, c.status) << c.what;
  EXPECT_EQ(state, 'f');
  state = 0;
  EXPECT_EQ(dt_setlstat(OWNS, &state, nullptr, 0), S_OKAY);
  EXPECT_EQ(state, 'f');
  EXPECT_EQ(dt_keylstat(1000, &state, nullptr, 0), S_OKAY);
  EXPECT_EQ(kt().lock_timeout, 10);

  testing::internal::CaptureStderr();
  const Case refused[] = {
      {"unknown record", S_INVREC, dt_reclock(10003, 'r', nullptr, 0)},
      {"unknown set", S_INVSET, dt_setlock(20002, 'r', nullptr, 0)},
      {"not a key", S_NOTKEY, dt_keylock(1001, 'r', nullptr, 0)},
      {"free of not a key", S_NOTKEY, dt_keyfree(1002, nullptr, 0)},
      {"state of not a key", S_NOTKEY, dt_keylstat(2001, &state, nullptr, 0)},
      {"state of unknown record", S_INVREC, dt_reclstat(9999, &state, nullptr, 0)},
  };
  for (const Case &c : refused) EXPECT_EQ(c.got, c.status) << c.what;
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("QVKDM0107E"), std::string::npos);
  EXPECT_NE(err.find("QVKDM0127E"), std::string::npos);
  EXPECT_NE(err.find("QVKDM0108E"), std::string::npos);
}

TEST_F(EngineTest, LockCallsWithNothingOpen) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(dt_freeall(nullptr), S_DBOPEN);
  EXPECT_EQ(dt_timeout(5, nullptr), S_DBOPEN);
  EXPECT_EQ(dt_reclock(10000, 'r', nullptr, 0), S_DBOPEN);
  EXPECT_EQ(dt_rlbtst(nullptr, 0), S_DBOPEN);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("QVKDM0135E"), std::string::npos);
  EXPECT_NE(err.find("QVKDM0090E"), std::string::npos);
}

TEST_F(CurrencyTest, RecordLockBit) {
  db_address ann = make("PERSON", "Ann");
  ASSERT_EQ(dt_crset(nullptr, nullptr, 0), S_OKAY);
  testing::internal::CaptureStderr();
  EXPECT_EQ(dt_rlbtst(nullptr, 0), S_NOCR);
  EXPECT_EQ(dt_rlbset(nullptr, 0), S_NOCR);
  EXPECT_EQ(dt_rlbclr(nullptr, 0), S_NOCR);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("QVKDM0140E"), std::string::npos);
  EXPECT_NE(err.find("QVKDM0143E"), std::string::npos);
  EXPECT_NE(err.find("QVKDM0138E"), std::string::npos);
  ASSERT_EQ(dt_crset(&ann, nullptr, 0), S_OKAY);
  // The new record is only in the cache; the bit is read and written there.
  EXPECT_EQ(dt_rlbtst(nullptr, 0), S_UNLOCKED);
  EXPECT_EQ(dt_rlbset(nullptr, 0), S_OKAY);
  EXPECT_EQ(dt_rlbtst(nullptr, 0), S_LOCKED);
  EXPECT_EQ(dt_rlbset(nullptr, 0), S_LOCKED);
  ASSERT_EQ(dt_close(nullptr), S_OKAY);
  // After the flush the bit is in the file; with the page not cached the
  // file's word is read and written directly.
  ASSERT_EQ(dt_open("people", "o", nullptr), S_OKAY);
  ASSERT_EQ(dt_crset(&ann, nullptr, 0), S_OKAY);
  ASSERT_EQ(dio_clear(), S_OKAY);
  EXPECT_EQ(dt_rlbtst(nullptr, 0), S_LOCKED);
  EXPECT_EQ(dt_rlbclr(nullptr, 0), S_UNLOCKED);
  EXPECT_EQ(dt_rlbtst(nullptr, 0), S_UNLOCKED);
  ASSERT_EQ(dt_on_opt(OPT_READONLY, nullptr), S_OKAY);
  testing::internal::CaptureStderr();
  EXPECT_EQ(dt_rlbset(nullptr, 0), S_READONLY);
  testing::internal::GetCapturedStderr();
}

}  // namespace
