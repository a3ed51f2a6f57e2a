#pragma once
// The dump of the view database: text files that a dump program writes from
// a database and the loader reads back into a new, empty one, so that a
// database the engine cannot recover, or one of another schema version, is
// rebuilt record by record.
//
// Dump files lie in the view storage: "ostrel_db.dump_file", then
// "ostrel_db.dump_file.1", ".2" ... Each begins with
// `Ver <format> <file index> <dump id>` and holds records separated by white
// space (one a line), each a keyword and its fields; the last file ends with
// `Eof`. Fields: hex numbers without prefix, decimal numbers, the text forms
// of uuids, oids and identities, counted strings ("<length>:" and exactly
// that many raw bytes) and file-status blocks (eleven hex words).
//
// Records, in the order a dump writes them (a record names only what came
// before it):
//   Vob          uuid; location ("host:path"); setwork; hlink
//   Vob-Dbid     VOB uuid; the last dbid its loaded objects were given (the
//                load numbers them above it, so that no handle issued
//                before the rebuild names another object)
//   Inode        VOB uuid; oid; kind, file type, mode; owner, group; size and
//                the access, modification and change times; the further
//                time; text (a container name or a link's target)
//   Name         VOB uuid; directory oid; name; target oid (null: a
//                white-out); kept, detached and hijacked flags; hijack oids
//   Cr           format word; data; (uuid, oid) of each derived object; the
//                identity oids of the config records it uses; its VOBs
//   Vns-View     view uuid; generation; initial generation
//   Lr-Scope     oid; generation, completed generation, spare, state; name
//                (the default scope first)
//   Vns-Element  VOB uuid; oid; checkout oid; kind, time, checked-out flag;
//                file-status block
//   Vns-Root-Dir VOB uuid; element oid; version oid; scope oid; generation,
//                time, valid, readdir done, stale, saved readdir state;
//                file-status block
//   Vns-Version  VOB uuid; parent oid; element oid; version oid; scope oid;
//                generation, kind, time, valid, readdir done, stale, saved
//                readdir state; size; file-status block; name
//   Vns-Slink    VOB uuid; parent oid; link oid; scope oid; generation, time,
//                valid; file-status block; name; link text
//   Eof
// A loader also takes `Setwork` (a count and that many VOB uuids).

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/qel/qel.h"
#include "runtime/kesto.h"

inline constexpr const char* OSTREL_DB_DUMP_FILE = "ostrel_db.dump_file";
// The name of dump file `index` (0 for the first).
std::string ostrela_db_dump_file_name(int index);

// The format word of the `Ver` records written here (a loader reads it and
// does not use it).
constexpr int OSTREL_DB_DUMP_FORMAT = 1;
// A dump program starts a new file once this much is written.
constexpr size_t OSTREL_DB_DUMP_FILE_LIMIT = size_t{64} << 20;
// Longest names (of directory entries) and texts (link targets, container
// names, VOB locations, scope names) a record carries.
constexpr size_t OSTREL_DB_DUMP_NAME_MAX = 255;
constexpr size_t OSTREL_DB_DUMP_TEXT_MAX = 1023;

// The file-status block of a record: the status's words at byte positions
// 0, 4, 92, 104, 108, 112, 116, 120, 124, 96 and 100, in that order; a
// status read from one has every other byte zero.
constexpr int OSTREL_DB_DUMP_FSTAT_WORDS = 11;
void ostrela_db_fstat_to_words(const qel_fstat_db_s& fstat, uint32_t words[OSTREL_DB_DUMP_FSTAT_WORDS]);
void ostrela_db_fstat_from_words(const uint32_t words[OSTREL_DB_DUMP_FSTAT_WORDS], qel_fstat_db_s* fstat);

// The program that dumps a database of schema version `version`:
// "ostrel_dumper_<version>" in the product's server directory. 0, or 1008
// when the path does not fit `size` bytes.
int ostrela_db_dumper_path(int version, char* buf, size_t size);

// Forces the directory's entries (the renames and removals in it) to disk.
// 0, or the status of the system error.
int ostrela_db_sync_dir(const char* dir);

// ---- the steps of a rebuild (outside any transaction) ---------------------------------

// Runs the dump program of the database's schema version on the view storage
// and waits for it; once it has written every dump file, closes the database,
// renames "db" to a free name "db.dumped", "db.dumped.1" ... (into `buf` of
// `size` bytes) and sets the state letter 'd'. A dump program that cannot run
// or fails (1008, or 1001 when it is not executable) leaves the database and
// its state as they were.
int ostrela_db_dump_db(char* buf, size_t size);

// Rebuilds the database from the dump files: a new database made in "db",
// every record loaded in one write transaction, then the letter 'i'. The dump
// files go unless a record was skipped (each skip is reported). 1052 when
// there is no dump (nothing changed); 1008 when a file is damaged or a record
// cannot be loaded: then nothing of the load is kept, the database is closed,
// and the letter 'd', the dump files and the kept old database stay for
// another try.
int ostrela_db_load_db();

// The loader's flag step for a loaded directory version, version or link
// `dbid` of the VOB at `vob`: with `valid` 0 the entry at `entry` (0: the
// first that names it) is made not valid; a nonzero `done` or `saved` goes to
// its directory record; a nonzero `stale` to its version record.
int ostrela_db_update_vns_ver_flags(db_address vob, uint32_t dbid, db_address entry, int valid, int done, int stale,
                                    int saved);

// Writes the dump files of the open database (the current directory is the
// view storage) in one read transaction: under temporary names, each
// synchronised, then renamed into place, and numbered files left from an
// older, longer dump removed. A new file begins once `file_limit` bytes are
// written. 0, or 1008 with what failed in `*error`; nothing is renamed
// then.
int ostrela_db_write_dump(size_t file_limit, std::string* error);

// ---- crash tests ---------------------------------------------------------------------

// The rebuild calls the hook (when one is set) at each step that has reached
// the disk, with the step's name, so that a test can end the process there.
using ostrela_db_step_hook_t = void (*)(const char* step);
void ostrela_db_set_step_hook(ostrela_db_step_hook_t hook);
void ostrela_db_step(const char* step);
