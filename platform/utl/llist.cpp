#include "platform/utl/llist.h"

namespace {

// Links an unthreaded node after `at`.
void link_after(llist_d_thread_t* at, llist_d_thread_t* node) {
    node->prev = at;
    node->next = at->next;
    at->next->prev = node;
    at->next = node;
}

llist_d_thread_t* member_or_null(const llist_d_list_t* list, llist_d_thread_t* node) {
    return node == list ? nullptr : node;
}

}  // namespace

void llist_d_init(llist_d_list_t* list) {
    list->next = list;
    list->prev = list;
    list->data = nullptr;
}

void llist_d_thread_init(llist_d_thread_t* node, void* data) {
    node->next = nullptr;
    node->prev = nullptr;
    node->data = data;
}

bool llist_d_threaded(const llist_d_thread_t* node) {
    return node->next != nullptr;
}

bool llist_d_empty(const llist_d_list_t* list) {
    return list->next == list;
}

void llist_d_insert_head(llist_d_list_t* list, llist_d_thread_t* node) {
    llist_d_remove(node);
    link_after(list, node);
}

void llist_d_insert_tail(llist_d_list_t* list, llist_d_thread_t* node) {
    llist_d_remove(node);
    link_after(list->prev, node);
}

void llist_d_remove(llist_d_thread_t* node) {
    if (node->next == nullptr) return;
    node->prev->next = node->next;
    node->next->prev = node->prev;
    node->next = nullptr;
    node->prev = nullptr;
}

llist_d_thread_t* llist_d_first(const llist_d_list_t* list) {
    return member_or_null(list, list->next);
}

llist_d_thread_t* llist_d_last(const llist_d_list_t* list) {
    return member_or_null(list, list->prev);
}

llist_d_thread_t* llist_d_next(const llist_d_list_t* list, const llist_d_thread_t* node) {
    return node->next == nullptr ? nullptr : member_or_null(list, node->next);
}

llist_d_thread_t* llist_d_prev(const llist_d_list_t* list, const llist_d_thread_t* node) {
    return node->prev == nullptr ? nullptr : member_or_null(list, node->prev);
}

size_t llist_d_count(const llist_d_list_t* list) {
    size_t n = 0;
    for (const llist_d_thread_t* p = list->next; p != list; p = p->next) ++n;
    return n;
}
