#include "platform/stg/stg.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <set>
#include <vector>

#include <gtest/gtest.h>

namespace {

TEST(Stg, BlocksAreUsableAndFreeable) {
    void* zero = stg_malloc(0);
    void* other = stg_malloc(0);
    ASSERT_NE(zero, nullptr);
    EXPECT_NE(zero, other) << "each block is distinct, also for size 0";
    char* text = static_cast<char*>(stg_malloc(6));
    ASSERT_NE(text, nullptr);
    std::memcpy(text, "hello", 6);
    EXPECT_STREQ(text, "hello");
    stg_free(text);
    stg_free(zero);
    stg_free(other);
    stg_free(nullptr);
}

TEST(StgArea, HandsOutZeroedAlignedDisjointMemory) {
    // The consistency check's use: 127 chain heads, then 16-byte elements.
    stg_area_t* area = stg_create_area(1024);
    ASSERT_NE(area, nullptr);
    auto* heads = static_cast<void**>(stg_area_malloc(area, 127 * sizeof(void*)));
    ASSERT_NE(heads, nullptr);
    for (int i = 0; i < 127; ++i) EXPECT_EQ(heads[i], nullptr);

    struct Range {
        uintptr_t begin;
        uintptr_t end;
        bool operator<(const Range& o) const { return begin < o.begin; }
    };
    std::set<Range> ranges;
    const size_t sizes[] = {16, 1, 24, 4000, 16, 3, 16, 100000, 16};
    for (int round = 0; round < 50; ++round) {
        for (size_t size : sizes) {
            auto* p = static_cast<unsigned char*>(stg_area_malloc(area, size));
            ASSERT_NE(p, nullptr);
            EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % alignof(std::max_align_t), 0u);
            for (size_t i = 0; i < size; ++i) ASSERT_EQ(p[i], 0) << "not zeroed";
            std::memset(p, 0xAB, size);
            Range r{reinterpret_cast<uintptr_t>(p), reinterpret_cast<uintptr_t>(p) + size};
            auto next = ranges.lower_bound(r);
            if (next != ranges.end()) {
                ASSERT_LE(r.end, next->begin) << "overlap";
            }
            if (next != ranges.begin()) {
                ASSERT_LE(std::prev(next)->end, r.begin) << "overlap";
            }
            ranges.insert(r);
        }
    }
    for (int i = 0; i < 127; ++i) EXPECT_EQ(heads[i], nullptr) << "later blocks overwrote earlier ones";
    stg_free_area(area);
    stg_free_area(nullptr);
    EXPECT_EQ(stg_area_malloc(nullptr, 8), nullptr);
}

TEST(StgArea, SizesNearTheLimitAreRefusedInsteadOfWrapping) {
    // A size that the block header would push past SIZE_MAX must fail, not
    // get a tiny block and a huge zero fill.
    stg_area_t* area = stg_create_area(1024);
    ASSERT_NE(area, nullptr);
    for (size_t size : {SIZE_MAX, SIZE_MAX - 20, SIZE_MAX - 31}) {
        EXPECT_EQ(stg_area_malloc(area, size), nullptr) << size;
    }
    EXPECT_NE(stg_area_malloc(area, 8), nullptr);  // the area is still usable
    stg_free_area(area);
}

}  // namespace
