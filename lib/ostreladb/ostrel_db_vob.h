#pragma once
// The record of one VOB that the namespace cache keeps (its VOB cache) and
// the view database's VOB operations read and fill: the VOB's replica uuid,
// host and storage path, and its database record's id once known. The
// namespace cache's own fields are its to use.

#include <sys/time.h>

#include <cstdint>
#include <string>

#include "platform/qel/qel.h"
#include "platform/rt/rt.h"

struct obj_entry;

struct view_vob {
    view_vob* next;            // on vob_tab, newest first
    obj_entry* ns_root;        // name-space root object (dbid 1, mtype 1); holds a reference
    obj_entry* root_elem;      // the VOB root element; holds a reference
    qel_oid_s vob_oid;
    qel_uuid_s uuid;           // the key
    uint32_t stamp;            // handle stamp of the VOB's objects; all ones from creation
    std::string host;
    std::string path;          // storage path on `host`
    std::string name;          // for messages; empty unless something fills it
    uint32_t db_id;            // the VOB's record in the view database; 0 until read
    void* vobh;                // must be null when the VOB is flushed
    int open;
    int found;
    rt_timer_t timer;          // a scheduled event of the event loop, 0 when none
    struct timeval lvut;       // last view update time
    uint32_t obj_count;        // cached objects of this VOB
};
