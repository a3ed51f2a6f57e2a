#include "lib/ns/ns_lookup.h"

#include "lib/ns/ns_vob.h"

lookup_cache_stats_s lookup_cache_stats = {};

int lookup_cache_init(unsigned budget) {
    name_max = budget;
    return 0;
}

void lookup_cache_flush() {
    if (lookup_cache_stats.size != 0 || lookup_cache_stats.count != 0)
        ns_fatal("lib/ns/ns_lookup", __LINE__, "lookup_cache_stats.size == 0 && lookup_cache_stats.count == 0");
}

// No name is cached, so an object has none to drop.
void lookup_flush_names2obj(obj_entry*, int) {}

void lookup_invalidate_not_found(view_vob*) {}

void lookup_invalidate_oid(view_vob*, const qel_oid_s*, const char*) {}

// Without a name cache the object's handle still names what the view selects.
obj_entry* lookup_revalidate(obj_entry* obj, int* status) {
    obj_inc_ref(obj);
    *status = 0;
    return obj;
}

void print_enoents(view_vob*) {}

void print_lookup_cache() { ns_dump("Name Cache \n"); }
