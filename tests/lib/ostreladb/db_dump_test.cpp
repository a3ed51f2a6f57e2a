// Dumps and loads: a populated database written by the dump program (and by
// the writer with small files) and loaded into a new database holds exactly
// what it held; damaged dump files are refused with the record's line and
// nothing of them is kept; records the loader cannot use are passed over and
// the dump stays.

#include <sys/stat.h>

#include <fstream>

#include "lib/ostreladb/db_content.h"
#include "lib/ostreladb/db_populate.h"
#include "lib/ostreladb/db_vns_check.h"
#include "lib/ostreladb/ostrel_db_dump.h"

namespace db_test {
namespace {

std::string uuid_text(unsigned n) {
    char buf[QEL_UUID_STR_SIZE];
    qel_uuid_s uuid = uuid_of(n);
    return qel_uuid_to_str(&uuid, buf);
}

bool dump_files_exist() { return lib_test::exists(OSTREL_DB_DUMP_FILE); }

class DbDump : public NewDbTest {};

TEST_F(DbDump, ARebuildByTheDumpProgramKeepsEverythingTheDatabaseHeld) {
    Populator().run();
    const std::string before = Listing::of_current_db();
    ASSERT_NE(std::string::npos, before.find("LOADED")) << before;

    messages.clear();
    ASSERT_EQ(0, ostrel_db_recover_db(1)) << messages.text();
    EXPECT_EQ(before, Listing::of_current_db());
    EXPECT_TRUE(namespace_intact("after the rebuild"));
    EXPECT_TRUE(messages.has("Dumping DB " + storage)) << messages.text();
    EXPECT_TRUE(messages.has("Loading DB " + storage)) << messages.text();
    EXPECT_FALSE(dump_files_exist()) << "a load that skipped nothing removes the dump";
    EXPECT_TRUE(kept_dbs().empty()) << "the old database goes once the new one is checked";
    EXPECT_EQ(std::string::npos, messages.text().find("moved to")) << messages.text();
    // A database in a clean state is rebuilt only when asked to.
    EXPECT_EQ(QEL_ST_NOTHING_TO_DO, ostrel_db_recover_db(0));
}

TEST_F(DbDump, ADumpSplitIntoFilesIsLoadedFileByFile) {
    Populator().run(40);
    const std::string before = Listing::of_current_db();
    std::string error;
    ASSERT_EQ(0, ostrela_db_write_dump(2048, &error)) << error;
    int files = 0;
    std::string id;
    for (; lib_test::exists(ostrela_db_dump_file_name(files)); ++files) {
        std::istringstream head(lib_test::read_file(ostrela_db_dump_file_name(files)));
        std::string ver, file_id;
        int format = -1, index = -1;
        head >> ver >> format >> index >> file_id;
        EXPECT_EQ("Ver", ver);
        EXPECT_EQ(1, format);
        EXPECT_EQ(files, index);
        if (files == 0) id = file_id;
        EXPECT_EQ(id, file_id) << "every file of a dump carries its id";
    }
    EXPECT_GT(files, 3);
    const std::string last = lib_test::read_file(ostrela_db_dump_file_name(files - 1));
    EXPECT_EQ("Eof\n", last.substr(last.size() - 4));
    for (const std::string& name : lib_test::list_dir("."))
        EXPECT_EQ(std::string::npos, name.find(".tmp")) << "no temporary file stays";

    // A shorter dump later leaves none of the older numbered files.
    ASSERT_EQ(0, ostrela_db_write_dump(OSTREL_DB_DUMP_FILE_LIMIT, &error)) << error;
    EXPECT_FALSE(lib_test::exists(ostrela_db_dump_file_name(1)));
    ASSERT_EQ(0, ostrela_db_write_dump(2048, &error)) << error;

    ASSERT_EQ(0, ostrela_db_load_db()) << messages.text();
    EXPECT_EQ(before, Listing::of_current_db());
    EXPECT_EQ("i\n", state_file());
    for (int i = 0; i < files; ++i) EXPECT_FALSE(lib_test::exists(ostrela_db_dump_file_name(i))) << i;
}

// A dump written by hand: a VOB, its root cover directory and a file in it,
// the default scope.
class DbLoad : public NewDbTest {
protected:
    void SetUp() override {
        NewDbTest::SetUp();
        vob = uuid_text(1);
        dir = text(oid_of(100));
        file = text(oid_of(102));
        lib_test::write_file(std::string(OSTREL_STORAGE_POOL) + "/00001/a.txt", "a");
    }
    std::string vob_record() const { return "Vob " + vob + " 14:host-a:/vobs/a 0 0\n"; }
    std::string dir_record() const {
        return "Inode " + vob + " " + dir + " 2 2 ffffffff S-1-0-0 S-1-0-0 0 0 0 0 0 0 0 0 0 0:\n";
    }
    std::string file_record(const std::string& text = "11:00001/a.txt") const {
        return "Inode " + vob + " " + file + " 13 1 1a4 S-1-22-1-1 S-1-22-2-1 5 1 2 3 4 5 6 7 8 " + text + "\n";
    }
    std::string name_record(const std::string& name = "5:a.txt") const {
        std::string null = text(QEL_OID_NULL);
        return "Name " + vob + " " + dir + " " + name + " " + file + " 0 0 0 " + null + " " + null + "\n";
    }
    std::string dump() const {
        return "Ver 1 0 5f\n" + vob_record() + dir_record() + file_record() + name_record() +
               "Lr-Scope " + text(AUTOMATIC_LOAD_SCOPE_OID) + " 1 0 0 0 9:Automatic\nEof\n";
    }
    void write(const std::string& content, int index = 0) {
        lib_test::write_file(ostrela_db_dump_file_name(index), content);
    }
    // The name's object, read from the loaded database.
    int named(const std::string& name, uint32_t* object) {
        return read_tx([&] {
            uint32_t vob_dbid = 0, dir_dbid = 0, state = 0;
            qel_uuid_s u = uuid_of(1);
            int st = ostrela_db_vob_lookup(&u, &vob_dbid);
            if (st == 0) st = ostrela_db_inode_lookup(vob_dbid, at(oid_of(100)), &dir_dbid);
            if (st == 0) st = ostrela_db_dir_entry_lookup(dir_dbid, name.c_str(), object, &state);
            return st;
        });
    }

    std::string vob, dir, file;
};

TEST_F(DbLoad, NoDumpChangesNothing) {
    ASSERT_EQ(0, ostrel_db_create_def_scope());
    EXPECT_EQ(QEL_ST_NO_ENTRY, ostrela_db_load_db());
    EXPECT_EQ(1, count_records(VNS_DB_LR_SCOPE)) << "the database is still open and whole";
    EXPECT_EQ("m\n", state_file());
}

TEST_F(DbLoad, AHandWrittenDumpLoadsAndGoes) {
    write(dump());
    ASSERT_EQ(0, ostrela_db_load_db()) << messages.text();
    uint32_t object = 0;
    EXPECT_EQ(0, named("a.txt", &object));
    EXPECT_NE(0u, object);
    EXPECT_FALSE(dump_files_exist());
    EXPECT_EQ("i\n", state_file());
    EXPECT_TRUE(messages.has("Loading DB")) << messages.text();
}

TEST_F(DbLoad, ACountedStringKeepsItsBlanksAndADumpMayGoOnInAnotherFile) {
    write("Ver 1 0 5f\n" + vob_record() + dir_record() + file_record());
    write("Ver 1 1 5f\n" + name_record("6:a b\nc ") + "Eof\n", 1);
    ASSERT_EQ(0, ostrela_db_load_db()) << messages.text();
    uint32_t object = 0;
    EXPECT_EQ(0, named("a b\nc ", &object));
    EXPECT_FALSE(lib_test::exists(ostrela_db_dump_file_name(1)));
}

// Damaged dumps: the load fails, nothing of it is kept, the database stays
// closed and dumped, and the dump files stay for another try.
TEST_F(DbLoad, DamagedDumpsAreRefusedWithTheirLine) {
    const std::string ok = dump();
    const std::string null = text(QEL_OID_NULL);
    struct Case {
        const char* what;
        std::string first;          // the first file
        std::string second;         // the second file ("" : none)
        std::string expected;       // a message the refusal writes
    } cases[] = {
        {"cut inside a record", ok.substr(0, ok.find("00001/a.txt") + 4), "", "at line 4"},
        {"cut between records", ok.substr(0, ok.find("Name")), "",
         "ostrel_db.dump_file.1"},
        {"a list count beyond the file", "Ver 1 0 5f\nCr 1 2:ab ffffffff\nEof\n", "", "at line 2"},
        {"a count of ids that are not there", "Ver 1 0 5f\nCr 1 2:ab 2 " + vob + " " + dir + "\nEof\n", "",
         "at line 2"},
        {"a text longer than its record takes", "Ver 1 0 5f\n" + vob_record() + dir_record() +
                                                     file_record("1024:" + std::string(1024, 'x')) + "Eof\n",
         "", "at line 4"},
        {"a name longer than 255 bytes", "Ver 1 0 5f\n" + vob_record() + dir_record() + file_record() +
                                             name_record("256:" + std::string(256, 'n')) + "Eof\n",
         "", "at line 5"},
        {"a length beyond the file", "Ver 1 0 5f\n" + vob_record() + dir_record() + file_record("99999:x"), "",
         "at line 4"},
        {"a negative length", "Ver 1 0 5f\n" + vob_record() + dir_record() + file_record("-1:") + "Eof\n", "",
         "at line 4"},
        {"blanks between length and colon", "Ver 1 0 5f\nVob " + vob + " 14 :host-a:/vobs/a 0 0\nEof\n", "",
         "at line 2"},
        {"a hex value beyond 32 bits", "Ver 1 0 5f\nVob " + vob + " 14:host-a:/vobs/a 100000000 0\nEof\n", "",
         "at line 2"},
        {"a state beyond its 16 bits", "Ver 1 0 5f\nLr-Scope " + text(AUTOMATIC_LOAD_SCOPE_OID) +
                                           " 1 0 0 10000 9:Automatic\nEof\n",
         "", "at line 2"},
        {"a size beyond 64 bits", "Ver 1 0 5f\n" + vob_record() + "Inode " + vob + " " + file +
                                      " 13 1 1a4 S-1-0-0 S-1-0-0 10000000000000000 1 2 3 4 5 6 7 8 0:\nEof\n",
         "", "at line 3"},
        {"a name in the text of a number", "Ver 1 0 5f\nVob " + vob + " 14:host-a:/vobs/a 0x1 0\nEof\n", "",
         "at line 2"},
        {"an id that is no id", "Ver 1 0 5f\nVob 1234 1:x 0 0\nEof\n", "", "at line 2"},
        {"an identity that is no identity", "Ver 1 0 5f\n" + vob_record() + "Inode " + vob + " " + file +
                                                " 13 1 1a4 root S-1-0-0 0 1 2 3 4 5 6 7 8 0:\nEof\n",
         "", "at line 3"},
        {"a keyword in the wrong case", "Ver 1 0 5f\nvob " + vob + " 1:x 0 0\nEof\n", "", "at line 2"},
        {"a keyword with a letter more", "Ver 1 0 5f\nVobs " + vob + " 1:x 0 0\nEof\n", "", "at line 2"},
        {"a keyword longer than any", "Ver 1 0 5f\n" + std::string(40, 'K') + "\nEof\n", "", "at line 2"},
        // Records the engine would take, into a database that would then
        // fail its own check.
        {"an element of a kind no element has", "Ver 1 0 5f\n" + vob_record() + "Vns-Element " + vob + " " +
                                                    text(oid_of(7)) + " " + null +
                                                    " 9 0 0 0 2 1ed 2 64 1 c8 2 12c 3 190 4\nEof\n",
         "", "at line 3"},
        {"a version of a kind no version has", "Ver 1 0 5f\n" + vob_record() + "Vns-Version " + vob + " " + dir +
                                                   " " + text(oid_of(7)) + " " + text(oid_of(8)) + " " + null +
                                                   " 1 2 0 0 1 0 0 0 0 2 1ed 2 64 1 c8 2 12c 3 190 4 1:v\nEof\n",
         "", "at line 3"},
        {"a second file of another number", "Ver 1 0 5f\n" + vob_record(), "Ver 1 2 5f\nEof\n",
         "expecting 1:5fl, got 2:5fl"},
        {"a second file of another dump", "Ver 1 0 5f\n" + vob_record(), "Ver 1 1 60\nEof\n",
         "expecting 1:5fl, got 1:60l"},
    };
    ASSERT_EQ(0, ostrel_db_create_def_scope());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::remove(ostrela_db_dump_file_name(1).c_str());
        write(c.first);
        if (!c.second.empty()) write(c.second, 1);
        messages.clear();
        EXPECT_EQ(QEL_ST_INTERNAL, ostrela_db_load_db());
        EXPECT_TRUE(messages.has(c.expected)) << messages.text();
        EXPECT_EQ("d\n", state_file());
        EXPECT_EQ(c.first, lib_test::read_file(OSTREL_DB_DUMP_FILE)) << "the dump stays";
        EXPECT_EQ(QEL_ST_NEEDS_REFORMAT, read_tx([] { return 0; })) << "the database stays closed";
    }
    // Once the dump is whole again the load goes through.
    std::remove(ostrela_db_dump_file_name(1).c_str());
    write(ok);
    EXPECT_EQ(0, ostrel_db_load(nullptr, 0)) << messages.text();
    uint32_t object = 0;
    EXPECT_EQ(0, named("a.txt", &object));
    EXPECT_EQ(1, count_records(DB_DIR_ENT)) << "nothing of the failed loads was kept";
}

// Records the loader cannot use are passed over, each reported; the rest
// loads and the dump stays.
TEST_F(DbLoad, RecordsThatCannotBeLoadedArePassedOver) {
    const std::string null = text(QEL_OID_NULL);
    struct Case {
        const char* what;
        std::string record;
        std::string message;
    } cases[] = {
        {"a VOB without uuid", "Vob " + std::string(36, '0').replace(8, 1, "-").replace(13, 1, "-").replace(18, 1, "-").replace(23, 1, "-") + " 3:x:y 0 0\n", "Unable to load vob record"},
        {"a VOB twice", vob_record(), "Unable to load vob record " + vob},
        {"a file kind that is a directory", "Inode " + vob + " " + text(oid_of(7)) +
                                                " 5 2 1a4 S-1-0-0 S-1-0-0 0 0 0 0 0 0 0 0 0 0:\n",
         "Invalid ftype 2"},
        {"a kind the view does not hold", "Inode " + vob + " " + text(oid_of(7)) +
                                              " 1b 1 1a4 S-1-0-0 S-1-0-0 0 0 0 0 0 0 0 0 0 0:\n",
         "Invalid mtype 27"},
        {"a mode with type bits", "Inode " + vob + " " + text(oid_of(7)) +
                                      " 13 1 81a4 S-1-0-0 S-1-0-0 0 0 0 0 0 0 0 0 0 0:\n",
         "Invalid mode 33188"},
        {"a container outside the pool", "Inode " + vob + " " + text(oid_of(7)) +
                                             " 13 1 1a4 S-1-0-0 S-1-0-0 0 0 0 0 0 0 0 0 0 9:../passwd\n",
         "Unable to load inode " + text(oid_of(7))},
        {"an inode of an unknown VOB", "Inode " + uuid_text(9) + " " + text(oid_of(7)) +
                                           " 13 1 1a4 S-1-0-0 S-1-0-0 0 0 0 0 0 0 0 0 0 0:\n",
         "Unable to find vob " + uuid_text(9)},
        {"a name in a directory not loaded (yet)", "Name " + vob + " " + text(oid_of(8)) + " 1:z " + null +
                                                       " 0 0 0 " + null + " " + null + "\n",
         "Dir not found " + text(oid_of(8))},
        {"a name of an object not loaded", "Name " + vob + " " + dir + " 1:z " + text(oid_of(9)) + " 0 0 0 " +
                                               null + " " + null + "\n",
         "Object not found " + text(oid_of(9))},
        {"a name twice", name_record(), "Unable to load name " + dir + "->a.txt"},
        {"hijack ids on a name not hijacked", "Name " + vob + " " + dir + " 1:w " + null + " 0 0 0 " +
                                                  text(oid_of(5)) + " " + null + "\n",
         "Unable to load name " + dir + "->w"},
        {"a config record of no derived object", "Cr 1 2:ab 0 0 0\n", "Unable to load cr"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string text = dump();
        text.insert(text.find("Lr-Scope"), c.record);
        write(text);
        messages.clear();
        EXPECT_EQ(0, ostrela_db_load_db()) << messages.text();
        EXPECT_TRUE(messages.has(c.message)) << messages.text();
        EXPECT_TRUE(dump_files_exist()) << "a dump with a skipped record stays";
        uint32_t object = 0;
        EXPECT_EQ(0, named("a.txt", &object)) << "the other records are loaded";
        EXPECT_EQ("i\n", state_file());
    }
}

} // namespace
} // namespace db_test
