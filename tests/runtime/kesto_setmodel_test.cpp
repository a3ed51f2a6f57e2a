// A long random run of record creation, set connection in every order,
// disconnection and deletion, checked after every step against an
// in-memory model: every owner's chain in every set, walked forwards and
// backwards against its member count, every record's membership, the key
// file and the data file. Sort keys come from a small range, so equal keys
// are common.
//
// KESTO_SET_MODEL_SEED picks another run; a failure prints the seed and
// the step.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "kesto_test_support.h"

namespace {

using kesto_test::DataFileShape;
using kesto_test::EngineTest;

const char *const kModelSchema = R"(
database setmodel page 256
file d0 setmodel.d00 data
file k0 setmodel.k00 key
record SYS in d0 system
end
record OWNER in d0
  NAME int unique key in k0
end
record ITEM in d0 timestamped
  ID int unique key in k0
  N short
  TAG char[4] duplicate key in k0
end
set FIRSTS order first owner OWNER
  member ITEM
end
set LASTS order last owner OWNER timestamped
  member ITEM
end
set NEXTS order next owner OWNER
  member ITEM
end
set ASC order ascending owner OWNER
  member ITEM sort N, TAG
end
set DESC order descending owner OWNER
  member ITEM sort N
end
)";

constexpr int OWNER = 10001, ITEM = 10002;
constexpr int FIRST_SET = 20000, SET_COUNT = 5;
constexpr char ORDER[SET_COUNT] = {'f', 'l', 'n', 'a', 'd'};
constexpr int D0 = 0, K0 = 1;

unsigned seed_from_environment() {
  const char *text = std::getenv("KESTO_SET_MODEL_SEED");
  return text && *text ? static_cast<unsigned>(std::strtoul(text, nullptr, 10)) : 20240917u;
}

struct Item {
  int32_t id;
  int16_t n;
  std::string tag;
};

// What the database must hold.
struct Model {
  std::map<db_address, int32_t> owners;  // address -> NAME
  std::map<db_address, Item> items;
  // Per set: each owner's chain, and each connected item's owner.
  std::map<db_address, std::vector<db_address>> chains[SET_COUNT];
  std::map<db_address, db_address> owner_of[SET_COUNT];

  size_t records() const { return owners.size() + items.size(); }
};

class SetModelTest : public EngineTest, public ::testing::WithParamInterface<int> {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    layout_ = write_schema(kModelSchema);
    ASSERT_EQ(d_setpages(GetParam(), 2), S_OKAY);
    ASSERT_EQ(dt_open("setmodel", "o", nullptr), S_OKAY);
    ASSERT_EQ(dt_initialize(nullptr, 0), S_OKAY);
  }

  std::vector<char> owner_image(int32_t name) {
    const kesto_schema::RecordInfo &r = layout_.records.at("OWNER");
    std::vector<char> d(static_cast<size_t>(r.length - r.data), 0);
    std::memcpy(&d[static_cast<size_t>(r.fields.at("NAME").offset - r.data)], &name, 4);
    return d;
  }
  std::vector<char> item_image(const Item &item) {
    const kesto_schema::RecordInfo &r = layout_.records.at("ITEM");
    std::vector<char> d(static_cast<size_t>(r.length - r.data), 0);
    std::memcpy(&d[static_cast<size_t>(r.fields.at("ID").offset - r.data)], &item.id, 4);
    std::memcpy(&d[static_cast<size_t>(r.fields.at("N").offset - r.data)], &item.n, 2);
    std::strcpy(&d[static_cast<size_t>(r.fields.at("TAG").offset - r.data)], item.tag.c_str());
    return d;
  }

  // Order of two items by a sorted set's sort fields.
  static int compare(int s, const Item &a, const Item &b) {
    if (a.n != b.n) return a.n < b.n ? -1 : 1;
    if (ORDER[s] == 'd') return 0;  // DESC sorts by N only
    return a.tag < b.tag ? -1 : a.tag > b.tag ? 1 : 0;
  }

  // Where the model puts a new member: the index it takes in the chain.
  size_t place(int s, const std::vector<db_address> &chain, db_address item, db_address after) const {
    switch (ORDER[s]) {
      case 'f': return 0;
      case 'l': return chain.size();
      case 'n': return after ? static_cast<size_t>(std::find(chain.begin(), chain.end(), after) - chain.begin()) + 1 : 0;
      default: {
        // After every member it does not sort before (after equal keys).
        const Item &x = model_.items.at(item);
        size_t i = 0;
        for (; i < chain.size(); ++i) {
          int order = compare(s, x, model_.items.at(chain[i]));
          if (ORDER[s] == 'a' ? order < 0 : order > 0) break;
        }
        return i;
      }
    }
  }

  template <typename T>
  T pick(const std::vector<T> &from) {
    return from[std::uniform_int_distribution<size_t>(0, from.size() - 1)(rng_)];
  }
  int chance(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }

  std::vector<db_address> keys_of(const std::map<db_address, int32_t> &m) {
    std::vector<db_address> v;
    for (const auto &e : m) v.push_back(e.first);
    return v;
  }
  std::vector<db_address> item_addresses() {
    std::vector<db_address> v;
    for (const auto &e : model_.items) v.push_back(e.first);
    return v;
  }

  // Runs an engine call whose errors are expected, keeping its message off
  // the test's output.
  template <typename F>
  int quietly(F call) {
    testing::internal::CaptureStderr();
    int status = call();
    testing::internal::GetCapturedStderr();
    return status;
  }

  db_address current() { return kt().current_record; }

  void create_owner() {
    bool clash = !model_.owners.empty() && chance(6) == 0;
    int32_t name = clash ? model_.owners.at(pick(keys_of(model_.owners))) : next_name_++;
    uint32_t next = dio_pznext(D0);
    db_address before = current();
    int status = dt_fillnew(OWNER, owner_image(name).data(), nullptr, 0);
    if (clash) {
      ASSERT_EQ(status, S_DUPLICATE);
      ASSERT_EQ(dio_pznext(D0), next);
      ASSERT_EQ(current(), before);
      return;
    }
    ASSERT_EQ(status, S_OKAY);
    model_.owners[current()] = name;
  }

  void create_item() {
    bool clash = !model_.items.empty() && chance(6) == 0;
    Item item{clash ? model_.items.at(pick(item_addresses())).id : next_id_++,
              static_cast<int16_t>(chance(3)), std::string(1, static_cast<char>('a' + chance(2)))};
    uint32_t next = dio_pznext(D0);
    int status = dt_fillnew(ITEM, item_image(item).data(), nullptr, 0);
    if (clash) {
      ASSERT_EQ(status, S_DUPLICATE);
      ASSERT_EQ(dio_pznext(D0), next);
      return;
    }
    ASSERT_EQ(status, S_OKAY);
    model_.items[current()] = item;
  }

  void connect() {
    if (model_.owners.empty() || model_.items.empty()) return;
    int s = chance(SET_COUNT), set = FIRST_SET + s;
    db_address owner = pick(keys_of(model_.owners));
    db_address item = pick(item_addresses());
    std::vector<db_address> &chain = model_.chains[s][owner];
    ASSERT_EQ(dt_csoset(set, &owner, nullptr, 0), S_OKAY);
    db_address after = 0;
    if (ORDER[s] == 'n' && !chain.empty() && chance(4) != 0) {
      after = pick(chain);
      ASSERT_EQ(dt_csmset(set, &after, nullptr, 0), S_OKAY);
    }
    ASSERT_EQ(dt_crset(&item, nullptr, 0), S_OKAY);
    if (model_.owner_of[s].count(item)) {
      db_address member = kt().curr_mem[s];
      ASSERT_EQ(quietly([&] { return dt_connect(set, nullptr, 0); }), S_ISOWNED);
      ASSERT_EQ(kt().curr_mem[s], member);
      return;
    }
    ASSERT_EQ(dt_connect(set, nullptr, 0), S_OKAY);
    chain.insert(chain.begin() + static_cast<long>(place(s, chain, item, after)), item);
    model_.owner_of[s][item] = owner;
    ASSERT_EQ(kt().curr_mem[s], item);
  }

  void disconnect() {
    int s = chance(SET_COUNT), set = FIRST_SET + s;
    if (model_.owner_of[s].empty()) return;
    std::vector<db_address> connected;
    for (const auto &e : model_.owner_of[s]) connected.push_back(e.first);
    db_address item = pick(connected);
    db_address owner = model_.owner_of[s].at(item);
    ASSERT_EQ(dt_csmset(set, &item, nullptr, 0), S_OKAY);
    ASSERT_EQ(kt().curr_own[s], owner);
    std::vector<db_address> &chain = model_.chains[s][owner];
    auto at = std::find(chain.begin(), chain.end(), item);
    db_address next = at + 1 == chain.end() ? 0 : *(at + 1);
    ASSERT_EQ(dt_discon(set, nullptr, 0), next ? S_OKAY : S_EOS);
    ASSERT_EQ(current(), item);
    ASSERT_EQ(kt().curr_mem[s], next);
    chain.erase(at);
    model_.owner_of[s].erase(item);
  }

  // Takes a record out of the model's sets, as dt_disdel does.
  void forget_in_sets(db_address dba) {
    for (int s = 0; s < SET_COUNT; ++s) {
      auto owned = model_.chains[s].find(dba);
      if (owned != model_.chains[s].end()) {
        for (db_address m : owned->second) model_.owner_of[s].erase(m);
        model_.chains[s].erase(owned);
      }
      auto member = model_.owner_of[s].find(dba);
      if (member != model_.owner_of[s].end()) {
        std::vector<db_address> &chain = model_.chains[s][member->second];
        chain.erase(std::find(chain.begin(), chain.end(), dba));
        model_.owner_of[s].erase(member);
      }
    }
  }

  void remove(bool disconnect_first) {
    if (model_.records() == 0) return;
    // Owners go less often than items, so that sets keep their owners.
    bool owner = model_.items.empty() || (!model_.owners.empty() && chance(5) == 0);
    db_address dba = owner ? pick(keys_of(model_.owners)) : pick(item_addresses());
    ASSERT_EQ(dt_crset(&dba, nullptr, 0), S_OKAY);
    int expected = S_OKAY;
    if (!disconnect_first) {
      for (int s = 0; s < SET_COUNT && expected == S_OKAY; ++s) {
        auto chain = model_.chains[s].find(dba);
        if (chain != model_.chains[s].end() && !chain->second.empty()) expected = S_HASMEM;
      }
      for (int s = 0; s < SET_COUNT && expected == S_OKAY; ++s)
        if (model_.owner_of[s].count(dba)) expected = S_ISMEM;
    }
    int status = disconnect_first ? dt_disdel(nullptr, 0) : quietly([] { return dt_delete(nullptr, 0); });
    ASSERT_EQ(status, expected);
    if (expected != S_OKAY) {
      ASSERT_EQ(current(), dba);
      return;
    }
    ASSERT_EQ(current(), 0u);
    for (int s = 0; s < SET_COUNT; ++s) {
      ASSERT_NE(kt().curr_own[s], dba);
      ASSERT_NE(kt().curr_mem[s], dba);
    }
    forget_in_sets(dba);
    model_.owners.erase(dba);
    model_.items.erase(dba);
  }

  // Walks one owner's set with the navigation calls.
  void navigate() {
    if (model_.owners.empty()) return;
    int s = chance(SET_COUNT), set = FIRST_SET + s;
    db_address owner = pick(keys_of(model_.owners));
    ASSERT_EQ(dt_csoset(set, &owner, nullptr, 0), S_OKAY);
    int32_t count = -1;
    ASSERT_EQ(dt_members(set, &count, nullptr, 0), S_OKAY);
    const std::vector<db_address> &want = model_.chains[s][owner];
    ASSERT_EQ(count, static_cast<int32_t>(want.size()));
    std::vector<db_address> seen;
    bool backwards = chance(2) == 0;
    int status = backwards ? dt_findlm(set, nullptr, 0) : dt_findfm(set, nullptr, 0);
    for (; status == S_OKAY && seen.size() <= want.size(); status = dt_findnm(set, nullptr, 0)) {
      seen.push_back(current());
      if (backwards) break;  // only the last member: there is no move back
    }
    ASSERT_EQ(status, backwards && !want.empty() ? S_OKAY : S_EOS);
    if (backwards) {
      ASSERT_EQ(seen, want.empty() ? std::vector<db_address>{} : std::vector<db_address>{want.back()});
    } else {
      ASSERT_EQ(seen, want);
    }
  }

  // Everything the database holds against the model.
  void check_everything() {
    for (int s = 0; s < SET_COUNT; ++s) {
      for (const auto &o : model_.owners) {
        std::vector<db_address> chain;
        ASSERT_TRUE(kesto_test::check_set(FIRST_SET + s, o.first, &chain));
        auto want = model_.chains[s].find(o.first);
        ASSERT_EQ(chain, want == model_.chains[s].end() ? std::vector<db_address>{} : want->second)
            << "set " << FIRST_SET + s << " of owner " << o.first;
      }
      for (const auto &i : model_.items) {
        char *rec;
        ASSERT_EQ(dio_read(i.first, &rec, 0), S_OKAY);
        member_pointer mp;
        ASSERT_EQ(r_gmem(s, rec, &mp), S_OKAY);
        auto owner = model_.owner_of[s].find(i.first);
        ASSERT_EQ(mp.owner, owner == model_.owner_of[s].end() ? 0u : owner->second);
      }
    }
    std::vector<kesto_test::KeyFileEntry> entries;
    ASSERT_TRUE(kesto_test::check_key_file(K0, &entries));
    ASSERT_EQ(entries.size(), model_.owners.size() + 2 * model_.items.size());  // NAME; ID and TAG
    DataFileShape shape;
    ASSERT_TRUE(kesto_test::check_data_file(D0, &shape));
    ASSERT_EQ(static_cast<size_t>(shape.live), model_.records() + 1);  // and the system record
  }

  kesto_schema::Layout layout_;
  Model model_;
  std::mt19937 rng_;
  int32_t next_name_ = 1, next_id_ = 1;
};

TEST_P(SetModelTest, RandomRunMatchesTheModel) {
  unsigned seed = seed_from_environment();
  rng_.seed(seed);
  const int steps = 1500;
  for (int step = 0; step < steps; ++step) {
    SCOPED_TRACE("KESTO_SET_MODEL_SEED=" + std::to_string(seed) + " step " + std::to_string(step));
    // Growth up to about 120 items, then a steady state in which
    // creations give way to removals.
    int roll = chance(100);
    bool full = model_.items.size() >= 120;
    if (roll < 4) create_owner();
    else if (roll < 30 && !full) create_item();
    else if (roll < 30) remove(chance(2) == 0);
    else if (roll < 65) connect();
    else if (roll < 80) disconnect();
    else if (roll < 87) remove(false);
    else if (roll < 92) remove(true);
    else navigate();
    if (HasFatalFailure()) return;
    check_everything();
    if (HasFatalFailure()) return;
  }
  // The run reached every kind of state it is meant to cover.
  size_t connected = 0;
  for (int s = 0; s < SET_COUNT; ++s) connected += model_.owner_of[s].size();
  EXPECT_GT(connected, 20u);
  EXPECT_GT(model_.items.size(), 10u);
}

// The standard cache, and the smallest one, where held pages crowd it.
INSTANTIATE_TEST_SUITE_P(CacheSizes, SetModelTest, ::testing::Values(16, 8));

}  // namespace
