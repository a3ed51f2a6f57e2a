#include "platform/utl/hash_str.h"

#include <errno.h>

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "platform/utl/strutl.h"

struct hash_table_s {
    struct Node {
        Node* next;
        std::string key;
        unsigned char value[HASH_STR_MAX_VALUE];
    };

    std::vector<Node*> buckets;
    size_t value_size = 0;
    size_t count = 0;
    bool dynamic = false;

    size_t bucket_of(const char* key) const {
        return strutl_str_to_hash32(0, key) % buckets.size();
    }

    Node** find(const char* key) {
        Node** link = &buckets[bucket_of(key)];
        while (*link != nullptr && (*link)->key != key) link = &(*link)->next;
        return link;
    }

    const Node* find_const(const char* key) const {
        const Node* node = buckets[bucket_of(key)];
        while (node != nullptr && node->key != key) node = node->next;
        return node;
    }

    void grow() {
        std::vector<Node*> old;
        old.swap(buckets);
        buckets.assign(old.size() * 2 + 1, nullptr);
        for (Node* chain : old) {
            while (chain != nullptr) {
                Node* next = chain->next;
                Node*& head = buckets[bucket_of(chain->key.c_str())];
                chain->next = head;
                head = chain;
                chain = next;
            }
        }
    }

    ~hash_table_s() {
        for (Node* chain : buckets) {
            while (chain != nullptr) {
                Node* next = chain->next;
                delete chain;
                chain = next;
            }
        }
    }
};

hash_table_t* hash_str_create(size_t buckets, size_t value_size) {
    if (value_size == 0 || value_size > HASH_STR_MAX_VALUE) {
        errno = EINVAL;
        return nullptr;
    }
    hash_table_t* table = new (std::nothrow) hash_table_t;
    if (table == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    try {
        table->buckets.assign(buckets > 0 ? buckets : 1, nullptr);
    } catch (const std::bad_alloc&) {
        delete table;
        errno = ENOMEM;
        return nullptr;
    }
    table->value_size = value_size;
    return table;
}

void hash_set_dynamic(hash_table_t* table, int on) {
    if (table != nullptr) table->dynamic = on != 0;
}

int hash_str_enter(hash_table_t* table, const char* key, const void* value) {
    if (table == nullptr || key == nullptr || value == nullptr) {
        errno = EINVAL;
        return -1;
    }
    hash_table_t::Node** link = table->find(key);
    if (*link != nullptr) {
        std::memcpy((*link)->value, value, table->value_size);
        return 0;
    }
    try {
        if (table->dynamic && table->count + 1 > 2 * table->buckets.size()) {
            table->grow();
            link = table->find(key);
        }
        auto* node = new hash_table_t::Node{nullptr, key, {}};
        std::memcpy(node->value, value, table->value_size);
        *link = node;
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return -1;
    }
    ++table->count;
    return 0;
}

int hash_str_lookup(const hash_table_t* table, const char* key, void* value_out) {
    if (table == nullptr || key == nullptr) return 0;
    const hash_table_t::Node* node = table->find_const(key);
    if (node == nullptr) return 0;
    if (value_out != nullptr) std::memcpy(value_out, node->value, table->value_size);
    return 1;
}

int hash_str_free(hash_table_t* table, const char* key) {
    if (table == nullptr || key == nullptr) {
        errno = EINVAL;
        return -1;
    }
    hash_table_t::Node** link = table->find(key);
    if (*link == nullptr) {
        errno = ENOENT;
        return -1;
    }
    hash_table_t::Node* node = *link;
    *link = node->next;
    delete node;
    --table->count;
    return 0;
}

size_t hash_str_count(const hash_table_t* table) {
    return table != nullptr ? table->count : 0;
}

void hash_delete_ht(hash_table_t* table) {
    delete table;
}
