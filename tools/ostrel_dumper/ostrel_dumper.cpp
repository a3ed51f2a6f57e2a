// ostrel_dumper_1 STORAGE: writes the dump files of the view database of the
// view storage STORAGE (schema version 1) into STORAGE, for a rebuild of the
// database. The database is opened as the agent opens it, so a commit that a
// crash interrupted is completed first; nothing else is written to it, and
// the state file is left alone.
//
// Exit status: 0 when every dump file is written and on disk (a record that
// cannot be read, in a database a power failure left partly written, is left
// out and named on standard error); 1 when the database cannot be opened or
// a file cannot be written (the message is on standard error, and no dump
// file is replaced); 2 for a wrong command line.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "lib/ostreladb/ostrel_db.h"
#include "lib/ostreladb/ostrel_db_dump.h"
#include "lib/ostreladb/ostrel_db_session.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s STORAGE\n", argc > 0 ? argv[0] : "ostrel_dumper_1");
        return 2;
    }
    if (::chdir(argv[1]) != 0) {
        std::fprintf(stderr, "%s: cannot change to %s: %s\n", argv[0], argv[1], std::strerror(errno));
        return 1;
    }
    view_home = argv[1];
    int status = ostrela_db_open_db(0, OSTREL_DB_DEFAULT_PAGES);
    if (status != 0) {
        std::fprintf(stderr, "%s: cannot open the view database of %s: %s\n", argv[0], argv[1],
                     qel_strerror(status));
        return 1;
    }
    std::string error;
    status = ostrela_db_write_dump(OSTREL_DB_DUMP_FILE_LIMIT, &error);
    ostrela_db_close_db();
    if (status != 0) {
        std::fprintf(stderr, "%s: dump of %s failed: %s\n", argv[0], argv[1], error.c_str());
        return 1;
    }
    return 0;
}
