#include "platform/stg/stg.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

struct stg_area_s {
    struct Block {
        Block* next;
        size_t size;  // usable bytes after the header
        size_t used;
    };

    size_t block_size = 0;
    Block* blocks = nullptr;  // the current block first
};

namespace {

constexpr size_t kAlign = alignof(std::max_align_t);

constexpr size_t round_up(size_t n) {
    return (n + kAlign - 1) / kAlign * kAlign;
}

constexpr size_t kHeader = round_up(sizeof(stg_area_s::Block));

unsigned char* payload(stg_area_s::Block* block) {
    return reinterpret_cast<unsigned char*>(block) + kHeader;
}

stg_area_s::Block* new_block(size_t size) {
    if (size > SIZE_MAX - kHeader) return nullptr;  // the header would wrap the total
    void* memory = std::malloc(kHeader + size);
    if (memory == nullptr) return nullptr;
    auto* block = static_cast<stg_area_s::Block*>(memory);
    block->next = nullptr;
    block->size = size;
    block->used = 0;
    return block;
}

}  // namespace

void* stg_malloc(size_t size) {
    return std::malloc(size > 0 ? size : 1);
}

void stg_free(void* block) {
    std::free(block);
}

stg_area_t* stg_create_area(size_t block_size) {
    stg_area_t* area = new (std::nothrow) stg_area_t;
    if (area != nullptr) area->block_size = round_up(block_size < 64 ? 64 : block_size);
    return area;
}

void* stg_area_malloc(stg_area_t* area, size_t size) {
    if (area == nullptr) return nullptr;
    size_t need = round_up(size > 0 ? size : 1);
    if (need < size) return nullptr;  // overflow
    stg_area_s::Block* current = area->blocks;
    if (current == nullptr || current->size - current->used < need) {
        if (need > area->block_size) {
            // A large request gets its own block behind the current one, so
            // the room left in the current block is not wasted.
            stg_area_s::Block* own = new_block(need);
            if (own == nullptr) return nullptr;
            own->used = need;
            if (current != nullptr) {
                own->next = current->next;
                current->next = own;
            } else {
                area->blocks = own;
            }
            std::memset(payload(own), 0, need);
            return payload(own);
        }
        stg_area_s::Block* fresh = new_block(area->block_size);
        if (fresh == nullptr) return nullptr;
        fresh->next = area->blocks;
        area->blocks = fresh;
        current = fresh;
    }
    unsigned char* p = payload(current) + current->used;
    current->used += need;
    std::memset(p, 0, need);
    return p;
}

void stg_free_area(stg_area_t* area) {
    if (area == nullptr) return;
    stg_area_s::Block* block = area->blocks;
    while (block != nullptr) {
        stg_area_s::Block* next = block->next;
        std::free(block);
        block = next;
    }
    delete area;
}
