// The people database with a population and one larger transaction, shared
// by the tests of transactions, faults and crashes; and a snapshot of a
// database's whole logical content, checked for integrity on the way.
//
// The helpers return engine statuses instead of asserting, so that they can
// run in a forked child, where a test assertion means nothing.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "kesto_test_support.h"

namespace kesto_test {

constexpr int SYSREC = 10000, PERSON = 10001, CAR = 10002;
constexpr long NAME = 1000, AGE = 1001, CITY = 1002;
constexpr long PLATE = 2000, WEIGHT = 2001;
constexpr int OWNS = 20000, PEOPLE = 20001;
constexpr int PEOPLE_D0 = 0, PEOPLE_K0 = 1;

// The data part of a PERSON record: NAME char[20], AGE int, CITY char[16].
struct PersonData {
  char name[20];
  int32_t age;
  char city[16];
};
// The data part of a CAR record: PLATE char[8], WEIGHT short.
struct CarData {
  char plate[8];
  uint16_t weight;
};

inline db_address system_record() { return kt().db_table[0].sysdba; }

inline int first_status(std::initializer_list<int> statuses) {
  for (int s : statuses)
    if (s != S_OKAY) return s;
  return S_OKAY;
}

// A person entered in PEOPLE; *dba receives its address.
inline int add_person(const std::string &name, int32_t age, const std::string &city, db_address *dba = nullptr) {
  PersonData d{};
  std::snprintf(d.name, sizeof d.name, "%s", name.c_str());
  d.age = age;
  std::snprintf(d.city, sizeof d.city, "%s", city.c_str());
  int status = dt_fillnew(PERSON, &d, nullptr, 0);
  if (status != S_OKAY) return status;
  db_address sys = system_record(), self = 0;
  if ((status = dt_crget(&self, nullptr, 0)) != S_OKAY) return status;
  if (dba) *dba = self;
  return first_status({dt_csoset(PEOPLE, &sys, nullptr, 0), dt_connect(PEOPLE, nullptr, 0)});
}

// A car connected to its owner.
inline int add_car(db_address owner, const std::string &plate, uint16_t weight, db_address *dba = nullptr) {
  CarData d{};
  std::snprintf(d.plate, sizeof d.plate, "%s", plate.c_str());
  d.weight = weight;
  int status = dt_fillnew(CAR, &d, nullptr, 0);
  if (status != S_OKAY) return status;
  if (dba && (status = dt_crget(dba, nullptr, 0)) != S_OKAY) return status;
  return first_status({dt_csoset(OWNS, &owner, nullptr, 0), dt_connect(OWNS, nullptr, 0)});
}

inline int write_field(db_address dba, long field, const void *value) {
  return first_status({dt_crset(&dba, nullptr, 0), dt_crwrite(field, value, nullptr, 0)});
}

// AGE is part of the compound key CITY_AGE: the whole record is rewritten.
inline int set_age(db_address dba, int32_t age) {
  PersonData d{};
  int status = first_status({dt_crset(&dba, nullptr, 0), dt_recread(&d, nullptr, 0)});
  if (status != S_OKAY) return status;
  d.age = age;
  return dt_recwrite(&d, nullptr, 0);
}

inline int rename_person(db_address dba, const std::string &name) {
  char value[20] = {};
  std::snprintf(value, sizeof value, "%s", name.c_str());
  return write_field(dba, NAME, value);
}

// Takes a record out of every set and deletes it (an owner's members leave
// its sets first).
inline int remove_record(db_address dba) {
  return first_status({dt_crset(&dba, nullptr, 0), dt_disdel(nullptr, 0)});
}

inline std::string person_name(int i) {
  char name[20];
  std::snprintf(name, sizeof name, "person%03d", (i * 37) % 1000);
  return name;
}

inline std::string city_name(int i) {
  static const char *const cities[] = {"Oulu", "Turku", "Espoo", "Vantaa", "Lahti", "Pori"};
  return cities[i % 6];
}

// `count` people with one to three cars each; every fifth person leaves
// again, so that the data file has a chain of deleted slots.
inline int populate(int count, std::vector<db_address> *people = nullptr) {
  std::vector<db_address> made;
  for (int i = 0; i < count; ++i) {
    db_address p;
    int status = add_person(person_name(i), 20 + i % 50, city_name(i), &p);
    for (int c = 0; status == S_OKAY && c < 1 + i % 3; ++c)
      status = add_car(p, "C" + std::to_string(i * 10 + c), static_cast<uint16_t>(1000 + i + c));
    if (status != S_OKAY) return status;
    made.push_back(p);
  }
  for (size_t i = 4; i < made.size(); i += 5) {
    int status = remove_record(made[i]);
    if (status != S_OKAY) return status;
  }
  if (people) {
    people->clear();
    for (size_t i = 0; i < made.size(); ++i)
      if (i % 5 != 4 || i < 4) people->push_back(made[i]);
  }
  return S_OKAY;
}

// The changes of the transaction under test: new people (reusing deleted
// slots, then growing the files), cars, changed ages and names (their keys
// and their place in the sorted set move), cars and people removed.
inline int change_many(int seed = 0) {
  std::vector<db_address> people;
  db_address sys = system_record();
  int status = dt_csoset(PEOPLE, &sys, nullptr, 0);
  for (int s = status == S_OKAY ? dt_findfm(PEOPLE, nullptr, 0) : status; s == S_OKAY;
       s = dt_findnm(PEOPLE, nullptr, 0)) {
    db_address p;
    dt_crget(&p, nullptr, 0);
    people.push_back(p);
  }
  if (db_status < 0) return db_status;
  for (int i = 0; i < 14; ++i) {
    db_address p;
    if ((status = add_person("new" + std::to_string(seed) + "_" + std::to_string(i), 30 + i, city_name(i + 3), &p)) !=
            S_OKAY ||
        (status = add_car(p, "N" + std::to_string(seed * 100 + i), static_cast<uint16_t>(700 + i))) != S_OKAY)
      return status;
  }
  for (size_t i = 0; i < people.size(); i += 3)
    if ((status = set_age(people[i], static_cast<int32_t>(90 - i))) != S_OKAY) return status;
  for (size_t i = 1; i < people.size(); i += 7)
    if ((status = rename_person(people[i], "zz" + std::to_string(seed) + "_" + std::to_string(i))) != S_OKAY)
      return status;
  for (size_t i = 2; i < people.size(); i += 6)
    if ((status = remove_record(people[i])) != S_OKAY) return status;
  return S_OKAY;
}

inline std::string hex(const void *data, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  const unsigned char *p = static_cast<const unsigned char *>(data);
  for (size_t i = 0; i < n; ++i) {
    out += digits[p[i] >> 4];
    out += digits[p[i] & 15];
  }
  return out;
}

// Everything the people database holds, as text: every live record with its
// data, every key entry, and every owner's chain in both sets. Integrity
// faults (a key entry of a dead record, a broken chain, a bad data file)
// appear as lines starting with '!'.
inline std::string snapshot() {
  std::string out;
  auto fault = [&](const ::testing::AssertionResult &r) {
    if (!r) out += std::string("! ") + r.message() + "\n";
    return static_cast<bool>(r);
  };
  fault(check_data_file(PEOPLE_D0));
  std::vector<KeyFileEntry> keys;
  fault(check_key_file(PEOPLE_K0, &keys));
  std::vector<db_address> persons;
  for (int rec : {SYSREC, PERSON, CAR}) {
    const record_entry &re = kt().record_table[rec - RECORD_BASE];
    std::vector<char> data(static_cast<size_t>(re.length - re.data) + 1, 0);
    for (int s = dt_recfrst(rec, nullptr, 0); s == S_OKAY; s = dt_recnext(nullptr, 0)) {
      db_address dba;
      dt_crget(&dba, nullptr, 0);
      if (dt_recread(data.data(), nullptr, 0) != S_OKAY) out += "! unreadable record\n";
      out += std::to_string(rec) + "@" + std::to_string(dba) + " " + hex(data.data(), data.size() - 1) + "\n";
      if (rec == PERSON) persons.push_back(dba);
    }
    if (db_status < 0) out += "! record scan failed\n";
  }
  for (const KeyFileEntry &k : keys) {
    out += "key " + std::to_string(k.prefix) + " " + hex(k.value.data(), k.value.size()) + " @" +
           std::to_string(k.dba) + "\n";
    char *rec;
    if (dio_read(k.dba, &rec, 0) != S_OKAY || (rec_id(rec) & 0x8000)) out += "! key of a dead record\n";
  }
  std::vector<db_address> members;
  if (fault(check_set(PEOPLE, system_record(), &members))) {
    out += "PEOPLE";
    for (db_address m : members) out += " " + std::to_string(m);
    out += "\n";
  }
  for (db_address p : persons) {
    if (!fault(check_set(OWNS, p, &members))) continue;
    out += "OWNS " + std::to_string(p) + ":";
    for (db_address m : members) out += " " + std::to_string(m);
    out += "\n";
  }
  db_status = S_OKAY;
  return out;
}

inline bool has_fault(const std::string &snap) { return snap.rfind("! ", 0) == 0 || snap.find("\n! ") != std::string::npos; }

}  // namespace kesto_test
