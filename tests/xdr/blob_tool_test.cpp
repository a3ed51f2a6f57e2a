// ostrelxdr_blob: each record's JSON, with every field set to a value of its
// own, encodes to exactly what the library's encoder makes of the same
// record; bad input is refused with status 2 and a message; a batch gives
// each line's encoding behind its length.

#include <sys/wait.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "platform/stg/stg.h"
#include "platform/utl/temp_dir.h"
#include "xdr/ostrelxdr_blob.h"
#include "xdr/view_samples.h"
#include "xdr/xdr_samples.h"
#include "xdr/xdr_test_support.h"

namespace {

using namespace xdr_test;

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

std::string slurp(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

ToolRun run_tool(const std::string& record, const std::string& json) {
    TempDir dir;
    {
        std::ofstream(dir / "in.json") << json;
    }
    const std::string command = std::string(OSTRELXDR_BLOB) + " " + record + " " + (dir / "in.json") +
                                " >" + (dir / "out") + " 2>" + (dir / "err");
    ToolRun run;
    int raw = std::system(command.c_str());
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    run.out = slurp(dir / "out");
    run.err = slurp(dir / "err");
    return run;
}

template <typename T>
std::string library_encoding(int (*encoder)(const T*, unsigned int*, char**), const T& record) {
    unsigned int len = 0;
    char* buf = nullptr;
    if (encoder(&record, &len, &buf) != 0) return "encoder failed";
    std::string out(buf, len);
    stg_free(buf);
    return out;
}

std::string id_text(unsigned char first) {
    char buf[QEL_OID_STR_SIZE];
    qel_oid_t oid = counting<qel_oid_t>(first);
    return qel_oid_to_str(&oid, buf);
}

TEST(OstrelxdrBlobTool, EveryFieldReachesItsPlace) {
    ostrel_vstat vstat = zeroed<ostrel_vstat>();
    fill_vstat(vstat, "../t");
    vstat.vstat.last_time = {0x3000, 0x4000};
    ToolRun run = run_tool("vstat", R"({"fstat": {"type": 1, "mode": 420, "nlink": 2, "aux": 168496141,
        "owner": "S-1-22-1-1000", "group": "S-1-22-2-100", "size": 4294967298, "nodeid": 7,
        "xtime": [17, 18], "atime": [33, 34], "mtime": [49, 50], "ctime": [65, 66]},
        "mtype": 6, "elem_oid": ")" + id_text(0x50) + R"(", "obj_oid": ")" + id_text(0x60) +
                                         R"(", "event_time": [4096, 8192], "rmap_oid": ")" +
                                         id_text(0x70) + R"(", "last_time": [12288, 16384],
        "checked_out": true, "link_text": "../t"})");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, library_encoding(ostrel_vstat_encode, vstat));

    ostrel_scope scope = zeroed<ostrel_scope>();
    fill_scope(scope, "/vobs/a");
    run = run_tool("scope", R"({"scope_oid": ")" + id_text(0x10) + R"(", "other_oid": ")" +
                                id_text(0x20) + R"(", "pname": "/vobs/a", "gn": 5})");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, library_encoding(ostrel_scope_encode, scope));
    // Also the hand-written bytes.
    const Bytes wire = counting_wire(0x10) + counting_wire(0x20) + words({7, 0x2f766f62, 0x732f6100}) +
                       words({5});
    EXPECT_EQ(run.out, std::string(wire.begin(), wire.end()));

    ostrel_synceleminfo_t info = zeroed<ostrel_synceleminfo_t>();
    fill_info(info, "d/f.c", "/main/1", "/main/2");
    run = run_tool("synceleminfo", R"({"obj_pname": "d/f.c", "parent_oid": ")" + id_text(0x30) +
                                       R"(", "replica_uuid": ")" + id_text(0x40) +
                                       R"(", "obj_oid": ")" + id_text(0x50) +
                                       R"(", "prev_version": "/main/1", "cur_version": "/main/2"})");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, library_encoding(ostrel_synceleminfo_encode, info));

    ostrel_dirent_t dirent = zeroed<ostrel_dirent_t>();
    fill_dirent(dirent, "abc");
    run = run_tool("dirent", R"({"name": "abc", "ino": 7, "off": 8, "name_state": 17, "rule": 2,
        "obj_oid": ")" + id_text(0x60) + R"(", "obj_mtype": 5, "ver_oid": ")" + id_text(0x70) +
                                 R"(", "ver_mtype": 6, "flag": true})");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, library_encoding(ostrel_dirent_encode, dirent));

    run = run_tool("scope", "{}");
    EXPECT_EQ(run.status, 0) << "fields left out are zero or empty";
    EXPECT_EQ(run.out.size(), 16u + 16u + 4u + 4u);
}

TEST(OstrelxdrBlobTool, BadInputIsRefused) {
    struct Row {
        const char* record;
        std::string json;
        const char* message;  // a part of the message on standard error
    };
    const Row rows[] = {
        {"scope", R"({"gn": 1, "extra": 2})", "no field \"extra\""},
        {"scope", R"({"scope_oid": "not-an-id"})", "scope.scope_oid: not an id"},
        {"scope", R"({"gn": -1})", "scope.gn: not an unsigned number"},
        {"scope", R"({"gn": 4294967296})", "scope.gn: not an unsigned number"},
        {"scope", R"({"pname": ")" + std::string(1024, 'p') + R"("})", "longer than 1023 bytes"},
        {"dirent", R"({"name": ")" + std::string(258, 'n') + R"("})", "longer than 257 bytes"},
        {"dirent", R"({"flag": 1})", "dirent.flag: not true or false"},
        {"vstat", R"({"fstat": {"owner": "S-x"}})", "vstat.fstat.owner: not an identity"},
        {"vstat", R"({"event_time": [1]})", "vstat.event_time: not [seconds, microseconds]"},
        {"vstat", "[1, 2]", "not a JSON object"},
        {"vstat", "{", "parse error"},
        {"inode", "{}", "usage"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.json.substr(0, 60));
        ToolRun run = run_tool(row.record, row.json);
        EXPECT_EQ(run.status, 2);
        EXPECT_TRUE(run.out.empty());
        EXPECT_NE(run.err.find(row.message), std::string::npos) << run.err;
    }
}

// One run encodes many records, each behind its 4-byte big-endian length;
// a failure names its line.
TEST(OstrelxdrBlobTool, ABatchEncodesEveryLineInOrder) {
    ToolRun run = run_tool("--batch", "[\"scope\", {\"gn\": 5}]\n\n[\"vstat\", {}]\n[\"scope\", {\"gn\": 5}]");
    ASSERT_EQ(run.status, 0) << run.err;
    ToolRun scope = run_tool("scope", R"({"gn": 5})");
    ToolRun vstat = run_tool("vstat", "{}");
    const auto framed = [](const std::string& bytes) {
        const size_t n = bytes.size();
        return std::string{static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                           static_cast<char>(n)} +
               bytes;
    };
    EXPECT_EQ(run.out, framed(scope.out) + framed(vstat.out) + framed(scope.out));

    const struct {
        std::string input;
        int status;
        const char* message;
    } rows[] = {
        {"[\"scope\", {}]\n[\"scope\", {\"x\": 1}]\n", 2, "line 2: scope: no field \"x\""},
        {"[\"inode\", {}]\n", 2, "line 1: no record kind \"inode\""},
        {"{\"gn\": 1}\n", 2, "line 1: not [\"KIND\", {fields}]"},
        {"[\"scope\"\n", 2, "line 1: "},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.input);
        run = run_tool("--batch", row.input);
        EXPECT_EQ(run.status, row.status);
        EXPECT_NE(run.err.find(row.message), std::string::npos) << run.err;
    }
}

} // namespace
