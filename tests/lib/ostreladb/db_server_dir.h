#pragma once
// A product server directory of a test's own, for tests of rebuilds: the
// build tree's installed dictionary, a schema-version file, and dump
// programs (shell scripts) as the test wants them. Point NORVANE_SERVER_DIR
// at path() to use it.

#include <sys/stat.h>

#include <string>

#include "lib/lib_test_support.h"

namespace db_test {

class ServerDir {
public:
    ServerDir(const std::string& path, const std::string& version) : path_(path) {
        ::mkdir(path.c_str(), 0700);
        const std::string installed = OSTREL_TEST_SERVER_DIR;
        lib_test::write_file(path + "/ostrel_db.dbd", lib_test::read_file(installed + "/ostrel_db.dbd"));
        lib_test::write_file(path + "/ostrel_db_schema_version", version);
    }
    const std::string& path() const { return path_; }

    // A dump program `name` that runs `script` (with the storage as $1).
    void dumper(const std::string& name, const std::string& script) {
        std::string file = path_ + "/" + name;
        lib_test::write_file(file, "#!/bin/sh\n" + script + "\n");
        ::chmod(file.c_str(), 0755);
    }
    // The dump program of schema version `version`, which stands in for an
    // older one: it hands the database to the one of version 1.
    void older_dumper(int version) {
        dumper("ostrel_dumper_" + std::to_string(version),
               "echo 1 > \"$1/db/ostrel_db_schema_version\" && exec " + real_dumper() + " \"$1\"");
    }
    static std::string real_dumper() { return std::string(OSTREL_TEST_SERVER_DIR) + "/ostrel_dumper_1"; }

private:
    std::string path_;
};

} // namespace db_test
