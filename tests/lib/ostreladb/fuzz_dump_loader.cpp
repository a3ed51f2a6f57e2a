// libFuzzer target over the dump-file loader: the input is a dump file
// (with a NUL byte after a first part, the first part is the first file and
// the rest a second one), loaded into a new database in a scratch view
// storage. A load that succeeds must leave a database that passes the
// whole-database check; a load that fails must leave the dump files and
// the database closed in its dumped state.

#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "lib/lib_test_support.h"
#include "lib/ostreladb/db_test_support.h"
#include "lib/ostreladb/db_vns_check.h"
#include "lib/ostreladb/ostrel_db.h"
#include "lib/ostreladb/ostrel_db_dump.h"
#include "lib/ostreladb/ostrel_storage.h"

namespace {

// Memory-backed files, where there are, keep each load's synchronisation
// cheap: every input makes a new database.
const char* scratch_tmp() {
    if (::access("/dev/shm", W_OK) == 0) setenv("TMPDIR", "/dev/shm", 1);
    return nullptr;
}

// The scratch view storage, the process's working directory, for the whole
// run; messages are kept, not printed.
struct Storage {
    Storage() : tmp(scratch_tmp()) {
        storage = home.path() + "/view";
        if (::mkdir(storage.c_str(), 0700) != 0 || ::chdir(storage.c_str()) != 0) std::abort();
        view_home = storage;
        if (ostrel_storage_init() != 0) std::abort();
    }
    const char* tmp;
    lib_test::TempHome home;
    std::string storage;
    db_test::Messages messages;
};

Storage& storage() {
    static Storage* const made = new Storage;
    return *made;
}

void write_file(const std::string& name, const uint8_t* data, size_t size) {
    FILE* file = std::fopen(name.c_str(), "wb");
    if (file == nullptr || (size > 0 && std::fwrite(data, 1, size, file) != size) || std::fclose(file) != 0)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Storage& at = storage();
    at.messages.clear();
    size_t first = 0;
    while (first < size && data[first] != 0) ++first;
    write_file(ostrela_db_dump_file_name(0), data, first);
    if (first < size) write_file(ostrela_db_dump_file_name(1), data + first + 1, size - first - 1);
    else std::remove(ostrela_db_dump_file_name(1).c_str());

    const int status = ostrela_db_load_db();
    if (status == 0) {
        const ::testing::AssertionResult whole = db_test::namespace_intact("after the load");
        if (!whole) {
            std::fprintf(stderr, "a loaded dump fails the check: %s\n%s", whole.message(), at.messages.text().c_str());
            std::abort();
        }
    } else if (status != QEL_ST_INTERNAL) {
        std::fprintf(stderr, "the load failed with %d\n", status);
        std::abort();
    } else if (::access(OSTREL_DB_DUMP_FILE, F_OK) != 0) {
        std::fprintf(stderr, "a failed load took the dump\n");
        std::abort();
    }
    ostrel_db_close();
    std::remove(ostrela_db_dump_file_name(0).c_str());
    std::remove(ostrela_db_dump_file_name(1).c_str());
    return 0;
}
