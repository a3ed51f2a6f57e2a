// A long random run of key insertions and deletions in one small-page key
// file, checked after every step against an ordered model: the tree's
// entries and their order, its counts, the depth of its leaves and its free
// chain. Three keys share the file (unique, duplicates, and a compound key
// with a descending component), so splits move entries of other keys.
//
// KESTO_MODEL_SEED picks another run; a failure prints the seed and step.
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "kesto_test_support.h"

namespace {

using kesto_test::EngineTest;
using kesto_test::KeyFileEntry;
using kesto_test::KeyFileShape;

// A key value in a form the standard library orders as the key file must:
// NUM by number, TAG by text, CA by city and then descending age.
using ModelKey = std::tuple<int, std::string, int>;
using Model = std::multimap<ModelKey, db_address>;

constexpr int NUM = 0, TAG = 1, CA = 2;

unsigned seed_from_environment() {
  const char *text = std::getenv("KESTO_MODEL_SEED");
  return text && *text ? static_cast<unsigned>(std::strtoul(text, nullptr, 10)) : 20240611u;
}

class KeyModelTest : public EngineTest, public ::testing::WithParamInterface<int> {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    std::string schema = "database model page 256\n"
                         "file d0 model.d00 data\n"
                         "file k0 model.k00 key page 256 slots " + std::to_string(GetParam()) + "\n"
                         "record ITEM in d0\n"
                         "  NUM int unique key in k0\n"
                         "  TAG char[6] duplicate key in k0\n"
                         "  CITY char[6]\n"
                         "  AGE short\n"
                         "  compound CA duplicate key in k0 = CITY, AGE desc\n"
                         "end\n";
    layout_ = write_schema(schema.c_str());
    ASSERT_EQ(dt_open("model", "o", nullptr), S_OKAY);
    ASSERT_EQ(dt_initialize(nullptr, 0), S_OKAY);
    const auto &fields = layout_.records.at("ITEM").fields;
    index_[NUM] = fields.at("NUM").index;
    index_[TAG] = fields.at("TAG").index;
    index_[CA] = fields.at("CA").index;
  }

  // The stored value of a model key of key k.
  std::vector<char> stored(int k, const ModelKey &key) const {
    std::vector<char> v(k == NUM ? 4 : k == TAG ? 6 : 8, 0);
    if (k == NUM) {
      put_u32(v.data(), static_cast<uint32_t>(std::get<0>(key)));
    } else if (k == TAG) {
      std::memcpy(v.data(), std::get<1>(key).data(), std::get<1>(key).size());
    } else {
      std::memcpy(v.data(), std::get<1>(key).data(), std::get<1>(key).size());
      // The descending short is stored complemented.
      put_u16(v.data() + 6, static_cast<uint16_t>(~static_cast<uint16_t>(-std::get<2>(key))));
    }
    return v;
  }

  ModelKey model_key(int k, const std::vector<char> &v) const {
    if (k == NUM) return ModelKey{static_cast<int32_t>(get_u32(v.data())), "", 0};
    std::string text(v.data(), strnlen(v.data(), 6));
    if (k == TAG) return ModelKey{0, text, 0};
    int16_t age = static_cast<int16_t>(~get_u16(v.data() + 6));
    return ModelKey{0, text, -age};
  }

  ModelKey random_key(int k, std::mt19937 &rng) const {
    static const char *const tags[] = {"a", "ab", "abc", "b", "ba", "c", "zz", "q"};
    static const char *const cities[] = {"Oslo", "Bergen", "Rome", "Ulm"};
    if (k == NUM) return ModelKey{static_cast<int>(rng() % 4000) - 2000, "", 0};
    if (k == TAG) return ModelKey{0, tags[rng() % 8], 0};
    return ModelKey{0, cities[rng() % 4], -static_cast<int>(rng() % 6)};
  }

  // The tree holds exactly the model's entries, in the model's order.
  ::testing::AssertionResult matches(const Model models[3], KeyFileShape *shape) {
    std::vector<KeyFileEntry> entries;
    ::testing::AssertionResult walked = kesto_test::check_key_file(1, &entries, shape);
    if (!walked) return walked;
    size_t at = 0;
    for (int k = 0; k < 3; ++k) {
      for (const auto &m : models[k]) {
        if (at == entries.size()) return ::testing::AssertionFailure() << "key " << k << " has too few entries";
        const KeyFileEntry &e = entries[at++];
        if (e.prefix != k || model_key(k, e.value) != m.first || e.dba != m.second)
          return ::testing::AssertionFailure() << "entry " << at - 1 << " differs (key " << e.prefix
                                               << ", address " << e.dba << "; model key " << k
                                               << ", address " << m.second << ")";
      }
    }
    if (at != entries.size()) return ::testing::AssertionFailure() << entries.size() - at << " entries too many";
    return ::testing::AssertionSuccess();
  }

  // Steps through key k with the engine's scans, both ways, and compares.
  ::testing::AssertionResult scans_match(int k, const Model &model) {
    if (key_init(index_[k]) != S_OKAY) return ::testing::AssertionFailure() << "key_init";
    db_address dba = 0;
    if (key_boundary(KEY_RESET, &dba) != S_OKAY) return ::testing::AssertionFailure() << "reset";
    for (auto it = model.begin(); it != model.end(); ++it) {
      if (key_scan(KEY_NEXT, &dba) != S_OKAY || dba != it->second)
        return ::testing::AssertionFailure() << "forward scan of key " << k << " stops early";
    }
    if (key_scan(KEY_NEXT, &dba) != S_NOTFOUND) return ::testing::AssertionFailure() << "forward scan runs on";
    for (auto it = model.rbegin(); it != model.rend(); ++it) {
      if (key_scan(KEY_PREV, &dba) != S_OKAY || dba != it->second)
        return ::testing::AssertionFailure() << "backward scan of key " << k << " stops early";
    }
    if (key_scan(KEY_PREV, &dba) != S_NOTFOUND) return ::testing::AssertionFailure() << "backward scan runs on";
    return ::testing::AssertionSuccess();
  }

  // A search for a value finds its first entry, or places a scan between
  // its neighbours.
  ::testing::AssertionResult search_matches(int k, const Model &model, const ModelKey &key) {
    if (key_init(index_[k]) != S_OKAY) return ::testing::AssertionFailure() << "key_init";
    std::vector<char> v = stored(k, key);
    db_address dba = 0;
    int status = key_locpos(v.data(), &dba);
    auto first = model.lower_bound(key);
    bool present = first != model.end() && first->first == key;
    if (present) {
      if (status != S_OKAY || dba != first->second)
        return ::testing::AssertionFailure() << "search of a stored value: " << status;
      return ::testing::AssertionSuccess();
    }
    if (status != S_NOTFOUND) return ::testing::AssertionFailure() << "search of a missing value: " << status;
    int next = key_scan(KEY_NEXT, &dba);
    if (first == model.end() ? next != S_NOTFOUND : (next != S_OKAY || dba != first->second))
      return ::testing::AssertionFailure() << "scan after a missing value";
    return ::testing::AssertionSuccess();
  }

  kesto_schema::Layout layout_;
  int index_[3] = {0, 0, 0};
};

TEST_P(KeyModelTest, RandomInsertsAndDeletesKeepTheTreeLikeTheModel) {
  const unsigned seed = seed_from_environment();
  std::mt19937 rng(seed);
  Model models[3];
  db_address next_address = 1;
  int max_depth = 0, splits_seen = 0, collapses_seen = 0;
  KeyFileShape shape, before;
  const int steps = 3000;
  // Grow to about `target` entries, shrink to nothing, and again.
  int target = 150;
  bool growing = true;
  for (int step = 0; step < steps; ++step) {
    SCOPED_TRACE("seed " + std::to_string(seed) + ", step " + std::to_string(step));
    size_t total = models[0].size() + models[1].size() + models[2].size();
    if (growing && total >= static_cast<size_t>(target)) growing = false;
    if (!growing && total == 0) {
      growing = true;
      target = 40 + static_cast<int>(rng() % 200);
    }
    int k = static_cast<int>(rng() % 3);
    bool insert = models[k].empty() || rng() % 100 < (growing ? 75u : 25u);
    if (insert) {
      ModelKey key = random_key(k, rng);
      if (k == NUM && models[k].count(key)) continue;
      db_address dba = next_address++;
      std::vector<char> v = stored(k, key);
      ASSERT_EQ(key_insert(index_[k], v.data(), dba), S_OKAY);
      // Equal values lie in address order: a new address is the greatest.
      models[k].emplace_hint(models[k].upper_bound(key), key, dba);
    } else if (rng() % 20 == 0) {
      // An entry that is not there: nothing changes.
      ModelKey key = random_key(k, rng);
      std::vector<char> v = stored(k, key);
      ASSERT_EQ(key_delete(index_[k], v.data(), next_address + 7), S_NOTFOUND);
    } else {
      auto it = models[k].begin();
      std::advance(it, static_cast<long>(rng() % models[k].size()));
      std::vector<char> v = stored(k, it->first);
      ASSERT_EQ(key_delete(index_[k], v.data(), it->second), S_OKAY);
      models[k].erase(it);
    }
    before = shape;
    ASSERT_TRUE(matches(models, &shape));
    if (shape.depth > before.depth) ++splits_seen;
    if (shape.depth < before.depth) ++collapses_seen;
    if (shape.depth > max_depth) max_depth = shape.depth;
    if (step % 97 == 0) {
      for (int key = 0; key < 3; ++key) {
        ASSERT_TRUE(scans_match(key, models[key])) << "key " << key;
        ASSERT_TRUE(search_matches(key, models[key], random_key(key, rng))) << "key " << key;
      }
    }
  }
  // The run did what it is for: the root split and collapsed repeatedly,
  // and the tree grew several levels deep.
  EXPECT_GE(max_depth, GetParam() <= 4 ? 4 : 2);
  EXPECT_GE(splits_seen, 3);
  EXPECT_GE(collapses_seen, 3);
}

INSTANTIATE_TEST_SUITE_P(SlotsPerPage, KeyModelTest, ::testing::Values(3, 4, 5, 8),
                         [](const ::testing::TestParamInfo<int> &info) {
                           return "slots" + std::to_string(info.param);
                         });

}  // namespace
