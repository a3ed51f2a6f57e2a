#include <errno.h>

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/utl/hash_str.h"
#include "platform/utl/llist.h"

namespace {

TEST(HashStr, EnterLookupReplaceAndFree) {
    hash_table_t* table = hash_str_create(100, sizeof(uint32_t));
    ASSERT_NE(table, nullptr);
    uint32_t value = 7;
    ASSERT_EQ(hash_str_enter(table, "alpha", &value), 0);
    value = 8;
    ASSERT_EQ(hash_str_enter(table, "beta", &value), 0);

    uint32_t out = 0;
    EXPECT_EQ(hash_str_lookup(table, "alpha", &out), 1);
    EXPECT_EQ(out, 7u);
    EXPECT_EQ(hash_str_lookup(table, "gamma", &out), 0);
    EXPECT_EQ(hash_str_lookup(table, "alph", nullptr), 0) << "keys match whole";

    value = 9;
    ASSERT_EQ(hash_str_enter(table, "alpha", &value), 0);
    EXPECT_EQ(hash_str_count(table), 2u) << "entering a present key replaces its value";
    EXPECT_EQ(hash_str_lookup(table, "alpha", &out), 1);
    EXPECT_EQ(out, 9u);

    EXPECT_EQ(hash_str_free(table, "alpha"), 0);
    EXPECT_EQ(hash_str_lookup(table, "alpha", nullptr), 0);
    errno = 0;
    EXPECT_EQ(hash_str_free(table, "alpha"), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(hash_str_count(table), 1u);
    hash_delete_ht(table);

    EXPECT_EQ(hash_str_create(10, 0), nullptr);
    EXPECT_EQ(hash_str_create(10, HASH_STR_MAX_VALUE + 1), nullptr);
}

TEST(HashStr, DynamicTableKeepsEveryEntryAsItGrows) {
    for (int dynamic : {0, 1}) {
        hash_table_t* table = hash_str_create(1, sizeof(int));
        ASSERT_NE(table, nullptr);
        hash_set_dynamic(table, dynamic);
        for (int i = 0; i < 2000; ++i) {
            ASSERT_EQ(hash_str_enter(table, ("name" + std::to_string(i)).c_str(), &i), 0);
        }
        for (int i = 0; i < 2000; i += 2) {
            ASSERT_EQ(hash_str_free(table, ("name" + std::to_string(i)).c_str()), 0);
        }
        EXPECT_EQ(hash_str_count(table), 1000u);
        for (int i = 0; i < 2000; ++i) {
            int out = -1;
            int found = hash_str_lookup(table, ("name" + std::to_string(i)).c_str(), &out);
            EXPECT_EQ(found, i % 2) << i;
            if (found) {
                EXPECT_EQ(out, i);
            }
        }
        hash_delete_ht(table);
    }
}

struct Member {
    int id;
    llist_d_thread_t node;
};

std::vector<int> ids(const llist_d_list_t* list) {
    std::vector<int> out;
    for (llist_d_thread_t* p = llist_d_first(list); p != nullptr; p = llist_d_next(list, p)) {
        out.push_back(static_cast<Member*>(p->data)->id);
    }
    return out;
}

TEST(Llist, InsertMoveAndRemoveKeepOrder) {
    llist_d_list_t lru;
    llist_d_init(&lru);
    Member m[4];
    for (int i = 0; i < 4; ++i) {
        m[i].id = i;
        llist_d_thread_init(&m[i].node, &m[i]);
        EXPECT_FALSE(llist_d_threaded(&m[i].node));
    }
    EXPECT_TRUE(llist_d_empty(&lru));
    EXPECT_EQ(llist_d_first(&lru), nullptr);

    llist_d_insert_tail(&lru, &m[0].node);
    llist_d_insert_tail(&lru, &m[1].node);
    llist_d_insert_head(&lru, &m[2].node);
    EXPECT_EQ(ids(&lru), (std::vector<int>{2, 0, 1}));
    EXPECT_TRUE(llist_d_threaded(&m[0].node));

    // Moving a member to an end takes it off its old place.
    llist_d_insert_tail(&lru, &m[2].node);
    EXPECT_EQ(ids(&lru), (std::vector<int>{0, 1, 2}));
    llist_d_insert_tail(&lru, &m[2].node);
    EXPECT_EQ(ids(&lru), (std::vector<int>{0, 1, 2})) << "re-inserting the last member";
    llist_d_insert_head(&lru, &m[0].node);
    EXPECT_EQ(ids(&lru), (std::vector<int>{0, 1, 2}));

    llist_d_remove(&m[1].node);
    EXPECT_FALSE(llist_d_threaded(&m[1].node));
    llist_d_remove(&m[1].node);  // a second removal changes nothing
    llist_d_remove(&m[3].node);  // never listed
    EXPECT_EQ(ids(&lru), (std::vector<int>{0, 2}));
    EXPECT_EQ(llist_d_count(&lru), 2u);
    EXPECT_EQ(static_cast<Member*>(llist_d_last(&lru)->data)->id, 2);
    EXPECT_EQ(llist_d_prev(&lru, llist_d_first(&lru)), nullptr);
    EXPECT_EQ(llist_d_next(&lru, llist_d_last(&lru)), nullptr);

    llist_d_remove(&m[0].node);
    llist_d_remove(&m[2].node);
    EXPECT_TRUE(llist_d_empty(&lru));
}

}  // namespace
