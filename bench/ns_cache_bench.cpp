// The namespace cache on its own: a located object's look-up by handle and
// by object id, warm (cached) and cold (entered on each call: from the VOB
// metadata that the view database holds for a handle, from the view
// database's view-private files for an object id), the rate
// at which a full budget reclaims, and the memory a cached object takes.
// No peer does this work, so the figures are absolute.
//
//   ns_cache_bench [DIR] [benchmark options]   the view storage goes under DIR

#include <malloc.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "lib/fetch/ostrelagent_metadata.h"
#include "lib/fetch/ostrelagent_ns_fetch.h"
#include "lib/ns/ns_cache.h"
#include "lib/ns/ns_fstat.h"
#include "lib/ns/ns_locate.h"
#include "lib/ns/ns_vob.h"
#include "lib/ostreladb/ostrel_db.h"
#include "lib/ostreladb/ostrel_db_record.h"
#include "lib/ostreladb/ostrel_db_session.h"
#include "lib/ostreladb/ostrel_db_vns.h"

namespace {


// Objects the cold runs cycle through: more than the 4 MiB budget holds
// (12838), so every look-up misses once the cache is full.
constexpr unsigned COLD_OBJECTS = 40000;
// Symbolic links stand alone (no element, no cover), so a cold look-up
// enters exactly one object.
constexpr vob_mtype_t SYMLINK = 7;
constexpr vob_mtype_t PRIVATE = 19;

const qel_uuid_s VOB_UUID = {{0xb1, 0x0b, 1}};

qel_oid_s oid_of(unsigned n) {
    qel_oid_s oid{};
    for (int i = 0; i < 4; ++i) oid.bytes[i] = static_cast<unsigned char>(n >> (8 * i));
    oid.bytes[15] = 0x77;
    return oid;
}

struct World {
    std::string dir;
    uint32_t vob_dbid = 0;
    std::vector<uint32_t> private_dbids;  // view-private files, in oid order
    std::vector<uint32_t> link_dbids;     // the links oid_of(1), oid_of(2) ... in the VOB's root
};
World world;

view_vob* the_vob() {
    int status = 0;
    view_vob* vob = vob_find(&VOB_UUID, &status);
    if (vob == nullptr) bench::fail("vob_find");
    return vob;
}

void set_up(const std::string& base) {
    world.dir = bench::make_dir(base, "ns-cache-bench");
    std::string storage = world.dir + "/view";
    if (mkdir(storage.c_str(), 0700) != 0 || chdir(storage.c_str()) != 0) bench::fail("storage " + storage);
    view_home = storage;
    // The loads and look-ups below ask content fetch, as in the daemon,
    // where the view handler installs it.
    OstrelAgent_Ns_Fetch::install();
    int created = 0;
    if (ostrel_storage_init() != 0 || ostrel_db_init(&created) != 0 || ostrel_db_create_def_scope() != 0)
        bench::fail("view database");
    qel_fstat_db_s fstat{};
    fstat.type = QEL_FTYPE_REG;
    fstat.mode = 0644;
    fstat.nlink = 1;
    int status = ostrel_db_in_transaction(1, [&] {
        int st = ostrela_db_vob_create(&VOB_UUID, "host:/vobs/bench", &world.vob_dbid);
        for (unsigned i = 0; st == 0 && i < COLD_OBJECTS; ++i) {
            qel_oid_s oid = oid_of(1000000 + i);
            uint32_t dbid = 0;
            uint32_t gen = 0;
            st = ostrela_db_inode_create(world.vob_dbid, &oid, &fstat, PRIVATE, &dbid, &gen);
            world.private_dbids.push_back(dbid);
        }
        return st;
    });
    if (status != 0) bench::fail("inodes");
    // The links, loaded as an update loads a directory.
    status = ostrel_db_in_transaction(1, [&] {
        const qel_oid_s root_oid = oid_of(900000000), root_elem = oid_of(900000001);
        struct timeval time{};
        qel_fstat_db_s dir{};
        dir.type = QEL_FTYPE_DIR;
        dir.mode = 0755;
        uint32_t elem = 0, root = 0;
        int st = ostrela_db_create_vns_elem(world.vob_dbid, &root_elem, &time, &dir, 2, 0, &elem);
        if (st == 0)
            st = ostrela_db_create_root_dir(world.vob_dbid, &root_oid, &root_elem, &time, &dir, &QEL_OID_NULL, 0, 3,
                                            &root);
        for (unsigned i = 1; st == 0 && i <= COLD_OBJECTS; ++i) {
            qel_oid_s oid = oid_of(i);
            std::string name = "l" + std::to_string(i);
            uint32_t dbid = 0;
            st = ostrela_db_create_vns_slink(world.vob_dbid, root, &oid, &time, name.c_str(), "target", &fstat,
                                             &QEL_OID_NULL, 0, &dbid, nullptr);
            world.link_dbids.push_back(dbid);
        }
        return st;
    });
    if (status != 0) bench::fail("links");
    if (cache_init() != 0) bench::fail("cache_init");
}

void fresh_cache() {
    Ns_Cache_Lock lock;
    cache_flush();
    ns_cache_set_size(NS_CACHE_MIN_SIZE, false);
}

view_fhandle handle_of(unsigned dbid) {
    view_fhandle fh{};
    fh.vob_uuid = VOB_UUID;
    fh.dbid = fh.elem_dbid = dbid;
    fh.stamp = 0xFFFFFFFFu;
    return fh;
}

void by_handle(benchmark::State& state, unsigned objects) {
    fresh_cache();
    std::vector<view_fhandle> handles;
    for (unsigned i = 0; i < objects; ++i) handles.push_back(handle_of(world.link_dbids[i]));
    size_t next = 0;
    for (auto _ : state) {
        Ns_Cache_Lock lock;
        int ext = 0;
        int status = 0;
        obj_entry* obj = locate_validate_fhandle(&handles[next], &ext, &status);
        if (obj == nullptr) bench::fail("locate_validate_fhandle");
        obj_free(obj);
        if (++next == handles.size()) next = 0;
    }
    state.SetItemsProcessed(state.iterations());
}

void by_oid(benchmark::State& state, bool cold) {
    fresh_cache();
    view_vob* vob = the_vob();
    std::vector<qel_oid_s> oids;
    // Warm: a cached VOB object's oid. Cold: view-private files read from the
    // view database, more of them than the budget holds.
    unsigned count = cold ? COLD_OBJECTS : 1000;
    for (unsigned i = 0; i < count; ++i) oids.push_back(cold ? oid_of(1000000 + i) : oid_of(i + 1));
    if (!cold) {
        Ns_Cache_Lock lock;
        for (unsigned i = 1; i <= count; ++i) {
            int status = 0;
            obj_free(locate_dbid(vob, static_cast<int32_t>(world.link_dbids[i - 1]), 0, &status));
        }
    }
    size_t next = 0;
    for (auto _ : state) {
        Ns_Cache_Lock lock;
        int status = 0;
        obj_entry* obj = locate_oid(vob, &oids[next], 0, &status);
        if (obj == nullptr) bench::fail("locate_oid");
        obj_free(obj);
        if (++next == oids.size()) next = 0;
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_HandleWarm(benchmark::State& state) { by_handle(state, 1000); }
void BM_HandleCold(benchmark::State& state) { by_handle(state, COLD_OBJECTS); }
void BM_OidWarm(benchmark::State& state) { by_oid(state, false); }
void BM_OidCold(benchmark::State& state) { by_oid(state, true); }

// A full budget of unreferenced entries: each new entry takes one back.
void BM_Reclaim(benchmark::State& state) {
    fresh_cache();
    Ns_Cache_Lock lock;
    view_vob* vob = the_vob();
    int32_t dbid = 1;
    auto add = [&] {
        qel_oid_s oid = oid_of(static_cast<unsigned>(dbid));
        obj_free(obj_alloc(vob, dbid++, &oid, SYMLINK, 0));
    };
    while (obj_cache_stats.size <= obj_cache_max) add();
    uint32_t ejects = obj_cache_stats.ejects;
    for (auto _ : state) add();
    state.SetItemsProcessed(state.iterations());
    state.counters["ejects_per_alloc"] =
        static_cast<double>(obj_cache_stats.ejects - ejects) / static_cast<double>(state.iterations());
}

BENCHMARK(BM_HandleWarm);
BENCHMARK(BM_HandleCold);
BENCHMARK(BM_OidWarm);
BENCHMARK(BM_OidCold);
BENCHMARK(BM_Reclaim);

// Heap bytes per cached object with its status, measured over many.
void report_memory() {
    fresh_cache();
    Ns_Cache_Lock lock;
    view_vob* vob = the_vob();
    ns_cache_set_size(0xFFFFFFFFu, false);
    constexpr int COUNT = 10000;
    qel_fstat_db_s fstat{};
    fstat.type = QEL_FTYPE_REG;
    struct mallinfo2 before = mallinfo2();
    std::vector<obj_entry*> held;
    for (int i = 1; i <= COUNT; ++i) {
        qel_oid_s oid = oid_of(static_cast<unsigned>(i));
        obj_entry* obj = obj_alloc(vob, i, &oid, SYMLINK, 0);
        fstat_cache_update_obj(obj, &fstat);
        held.push_back(obj);
    }
    struct mallinfo2 after = mallinfo2();
    double per_object = static_cast<double>(after.uordblks - before.uordblks) / COUNT;
    std::printf("memory: obj_entry %zu bytes, attribute entry %zu bytes (budget units %u and %u); "
                "heap per cached object with its status: %.1f bytes\n",
                sizeof(obj_entry), sizeof(fstat_entry), OBJ_ENTRY_SIZE, FSTAT_ENTRY_SIZE, per_object);
    for (obj_entry* obj : held) obj_free(obj);
}

} // namespace

int main(int argc, char** argv) {
    setenv("NORVANE_SERVER_DIR", OSTREL_BENCH_SERVER_DIR, 0);
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr) bench::fail("getcwd");
    std::string base = argc > 1 && argv[1][0] != '-' ? argv[1] : bench::base_dir(1, argv);
    if (argc > 1 && argv[1][0] != '-') {
        argv[1] = argv[0];
        ++argv;
        --argc;
    }
    set_up(base);
    report_memory();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    fresh_cache();
    ostrel_db_close();
    if (chdir(cwd) != 0) bench::fail("chdir back");
    bench::remove_dir(world.dir);
    return 0;
}
