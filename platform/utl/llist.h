// Doubly linked lists threaded through their members: each member embeds a
// node of three words (next, previous, the member's own pointer). A list is
// a circular chain through a head node, so a member can leave its list in
// constant time without knowing which list it is on.
#pragma once

#include <cstddef>

struct llist_d_thread_s {
    llist_d_thread_s* next;  // null while the node is on no list
    llist_d_thread_s* prev;
    void* data;              // the member that holds this node
};
typedef llist_d_thread_s llist_d_thread_t;

// A list is its head node (whose data is unused).
typedef llist_d_thread_s llist_d_list_t;

// Makes `list` empty.
void llist_d_init(llist_d_list_t* list);

// Prepares a member's node: on no list, naming `data` as its member.
void llist_d_thread_init(llist_d_thread_t* node, void* data);

// True when the node is on a list.
bool llist_d_threaded(const llist_d_thread_t* node);

// True when `list` has no member.
bool llist_d_empty(const llist_d_list_t* list);

// Puts an unthreaded node first or last on `list`. A node that is already on
// a list is taken off it first.
void llist_d_insert_head(llist_d_list_t* list, llist_d_thread_t* node);
void llist_d_insert_tail(llist_d_list_t* list, llist_d_thread_t* node);

// Takes the node off its list; a node on no list is left alone.
void llist_d_remove(llist_d_thread_t* node);

// The first and last nodes of `list`, and the nodes after and before `node`
// on it; null at the ends.
llist_d_thread_t* llist_d_first(const llist_d_list_t* list);
llist_d_thread_t* llist_d_last(const llist_d_list_t* list);
llist_d_thread_t* llist_d_next(const llist_d_list_t* list, const llist_d_thread_t* node);
llist_d_thread_t* llist_d_prev(const llist_d_list_t* list, const llist_d_thread_t* node);

// Number of members (walks the list).
size_t llist_d_count(const llist_d_list_t* list);
