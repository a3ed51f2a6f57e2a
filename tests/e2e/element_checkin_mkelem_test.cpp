// Checkin and Mkelem as a client tool sees them, on the element bench.
//
// Checkin: a checked-out file edited through the mount and checked in on
// the server shows the checked-in version; named in the request, its bytes
// are adopted into the cleartext cache and nothing is fetched, otherwise
// the version is fetched in the background. A directory's or VOB root's
// checkout is cleared and its listing read again.
//
// Mkelem: a view-private file, directory or link that the client made an
// element of shows the element: a file's bytes adopted or its version
// fetched in the background, a directory's entries kept under the element,
// with make-path every new directory above it too.
//
// Each refusal and failure leaves the view and the cache as the row says:
// never a part of a file in the cache, never a file served half adopted.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "element_bench.h"
#include "platform/utl/strutl.h"
#include "update_fixture.h"

namespace e2e {
namespace {

using Kind = Served_Vob::Kind;

const char* const NULL_OID = "00000000-0000-0000-0000-000000000000";
// The text of the error a forced read failure gives, ended as messages end.
const std::string EIO_TEXT = std::string(std::strerror(EIO)) + "\n";
const char* const DIRECTORY_RPC = "Ostrel_Norvane::get_directory_contents_rpc";

// Makes `path` and the directories above it.
bool make_dirs(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
        ::mkdir(path.substr(0, slash).c_str(), 0755);
    return ::mkdir(path.c_str(), 0755) == 0;
}

class E2eContentOps : public E2eElement {
protected:
    lib_test::Reply checkin(const std::string& path, const std::string& version) {
        return call(make_request("Checkin", "ci", "<path>" + path + "</path><replica-uuid>" +
                                                      std::string(Served_Vob::REPLICA) + "</replica-uuid><new-ver-oid>" +
                                                      version + "</new-ver-oid>"));
    }
    lib_test::Reply mkelem(const std::string& path, const std::string& flags, const std::string& version) {
        return call(make_request("Mkelem", "mk", "<path>" + path + "</path><replica-uuid>" +
                                                     std::string(Served_Vob::REPLICA) + "</replica-uuid><mkelem-flags " +
                                                     flags + "/><new-ver-oid>" + version + "</new-ver-oid>"));
    }

    // The invalidations an operation made since `mark`: without the drops
    // of directory versions (op 13) that the namespace makes in the
    // background as it reads a directory again; an element's drop with op
    // 13 is a checkin's own.
    Lines own_invalidations(size_t mark) const {
        Lines own;
        for (const std::string& line : invalidations_since(mark)) {
            const bool listing_drop = line.compare(0, 10, "inval_obj ") == 0 &&
                                      line.compare(line.size() - 3, 3, " 13") == 0 &&
                                      line.compare(line.size() - 9, 6, "000000") != 0;
            if (!listing_drop) own.push_back(line);
        }
        return own;
    }
    // The kernel's status queries of a path of the view since `mark`.
    size_t kernel_stats_since(size_t mark, const std::string& path) const {
        const std::vector<std::vector<std::string>> calls = journal_fields();
        size_t count = 0;
        for (size_t i = mark; i < calls.size(); ++i)
            count += calls[i].size() == 2 && (calls[i][0] == "get_xstat" || calls[i][0] == "lget_xstat") &&
                     calls[i][1] == in_view(path);
        return count;
    }
    // The cache's files being written (".tmp." names), which a finished or
    // failed adoption never leaves.
    size_t cache_tmp_files() const {
        size_t count = 0;
        std::vector<std::string> dirs = {cache_dir(VIEW) + "/.c"};
        while (!dirs.empty()) {
            const std::string dir = dirs.back();
            dirs.pop_back();
            for (const std::string& entry : list_dir(dir)) {
                struct stat st;
                if (::lstat((dir + "/" + entry).c_str(), &st) != 0) continue;
                if (S_ISDIR(st.st_mode))
                    dirs.push_back(dir + "/" + entry);
                else
                    count += entry.compare(0, 5, ".tmp.") == 0;
            }
        }
        return count;
    }
    // Where the cache puts the file of version `oid` of the first VOB: the
    // leaf directories by the hash of the oid's text.
    std::string cache_path_of(const std::string& oid) const {
        const uint32_t h = strutl_str_to_hash32(0, oid.c_str());
        char levels[32];
        std::snprintf(levels, sizeof levels, "%x/%x", h % 67, (h >> 6) % 67);
        return cache_dir(VIEW) + "/.c/" + Served_Vob::REPLICA + "/" + levels + "/" + oid + "-" + Served_Vob::TEXT_MODE;
    }
    // The server's listings of the directory version `dir_version`.
    size_t directory_reads(const std::string& dir_version) {
        size_t reads = 0;
        for (const fakeserver::Json& call : server_calls(DIRECTORY_RPC))
            for (const std::vector<std::string>& arg : fakeserver::string_rows(call["rpcargs"]))
                reads += arg.size() == 2 && arg[0] == "VersionOid" && arg[1] == dir_version;
        return reads;
    }

    // Files checked out (on the server, then by the client's Checkout) and
    // then edited through the mount as a user edits them (the same edit
    // made to a copy in a plain directory, which the view's file must
    // equal); the edited bytes by path.
    std::map<std::string, std::string> check_out_and_edit(const Lines& paths) {
        std::map<std::string, std::string> edited;
        const std::string plain = tree / "plain-copy";
        for (const std::string& path : paths) {
            const std::string checked_out = vob().checkout(path);
            const lib_test::Reply reply = call(checkout_request(path, checked_out));
            EXPECT_EQ("0", status(reply)) << message(reply);
            EXPECT_EQ(vob().content(path), file(path).bytes);
            EXPECT_TRUE(write_file(plain, vob().content(path)));
            edited[path] = vob().content(path) + "edited in the view\n";
            EXPECT_TRUE(write_file(in_view(path), edited[path]));
            EXPECT_TRUE(write_file(plain, edited[path]));
            EXPECT_EQ(read_file(plain), file(path).bytes);
        }
        return edited;
    }

    // What GetMetadata says of a path: "version-controlled checked-out
    // eclipsed", each "true" or "false".
    std::string described(const std::string& path) {
        const lib_test::Reply reply = call(make_request("GetMetadata", "gm", "<path>" + path + "</path>"));
        EXPECT_EQ("0", status(reply)) << path << ": " << message(reply);
        std::map<std::string, std::string> found;
        for (const lib_test::Reply_Element& element : results(reply)) found[element.tag] = element.text;
        return found["is-version-controlled"] + " " + found["is-checked-out"] + " " + found["is-eclipsed"];
    }

    // The names GetChildren gives of a directory, sorted.
    Lines children(const std::string& path) {
        const lib_test::Reply reply = call(make_request("GetChildren", "gc", "<path>" + path + "</path>"));
        EXPECT_EQ("0", status(reply)) << path << ": " << message(reply);
        Lines names;
        for (const lib_test::Reply_Element& child : results(reply)) names.push_back(child.text);
        std::sort(names.begin(), names.end());
        return names;
    }

    // The faults of the failure tables: the copy of the view's file cannot
    // read it; a directory, not empty, stands where version `version`'s
    // cache file goes; the view's file cannot be removed.
    void fail_copy() { inject("fuse_read", "errno=5"); }
    void block_cache_file(const std::string& version) {
        const std::string cache_file = cache_path_of(version);
        ASSERT_TRUE(make_dirs(cache_file));
        ASSERT_TRUE(write_file(cache_file + "/in-the-way", "x"));
    }
    void fail_removal() { inject("fuse_unlink", "errno=16"); }

    // After a failed request: the name still shows the view's own file
    // (`bytes`, writable); the cache holds `version` whole when `adopted`,
    // else not at all, and no file half written.
    void expect_left(const std::string& path, const std::string& bytes, const std::string& version, bool adopted) {
        EXPECT_EQ(bytes, file(path).bytes);
        EXPECT_EQ(0644u, file(path).mode);
        const std::map<std::string, std::string> cached = cached_versions();
        EXPECT_EQ(adopted ? 1u : 0u, cached.count(version));
        if (adopted && cached.count(version) != 0) {
            EXPECT_EQ(bytes, cached.at(version));
        }
        EXPECT_EQ(0u, cache_tmp_files());
    }
    // Whatever failed requests might have queued has run by the end of a
    // later request: none of `versions` was fetched.
    void expect_not_fetched(const Lines& versions) {
        EXPECT_EQ("0", status(call(make_request("GetCache", "sync"))));
        for (const std::string& version : versions) EXPECT_EQ(0u, gets(version)) << version;
    }

    // The server answers the next Lookup of `leaf` with 500.
    void refuse_lookup(const std::string& leaf) {
        vob().add_rule_before(R"({"match": {"rpc": ")" + std::string(LOOKUP_RPC) + R"(", "args": {"LeafName": ")" + leaf +
                              R"("}}, "times": 1, "reply": {"http": 500, "status": {"code": 1, "message": "refused"}}})");
    }

    // The view goes offline for `check`, then online again.
    void offline_while(const std::function<void()>& check) {
        ASSERT_EQ("0", status(call(make_request("Disconnect", "off"))));
        check();
        ASSERT_EQ("0", status(call(make_request("Connect", "on", server_element()))));
    }
};

using E2eMkelem = E2eContentOps;
using E2eCheckin = E2eContentOps;

// ---- Mkelem ------------------------------------------------------------------------------

// A new file, directory or link as the client made it in the view and then
// on the server: the view shows the element, whose names were flushed in
// the parent and whose parent element was dropped, in that order.
TEST_F(E2eMkelem, ANewElementShowsWithItsContentAdoptedOrFetched) {
    if (!mount_view()) return;
    const struct {
        const char* name;
        const char* path;
        Kind kind;
        const char* flags;
        bool named_version;   // the request names the new version
        bool kernel_asked;    // the kernel's status of the element taken
        bool cached;          // the version ends in the cache
        bool fetched;         // ... through a GET
    } rows[] = {
        {"a file, its version named: adopted", "/vob1/dir/named.c", Kind::file, "", true, true, true, false},
        {"a file, no version named: fetched", "/vob1/dir/fetched.c", Kind::file, "", false, true, true, true},
        {"a file made checked out: kept", "/vob1/dir/co.c", Kind::file, R"(is-checked-out="true")", true, true, false,
         false},
        {"flags other than \"true\" are false", "/vob1/dir/upper.c", Kind::file,
         R"(is-checked-out="TRUE" is-link="1")", true, true, true, false},
        {"a directory: its entries kept under the element", "/vob1/dir/newdir", Kind::directory, "", true, true, false,
         false},
        {"a link: not asked of the kernel, kept", "/vob1/dir/newlink", Kind::link, R"(is-link="true")", false, false,
         false, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string path = row.path;
        const std::string mine = std::string("made in the view as ") + row.path + "\n";
        switch (row.kind) {
        case Kind::file: ASSERT_TRUE(write_file(in_view(path), mine)); break;
        case Kind::directory:
            ASSERT_EQ(0, ::mkdir(in_view(path).c_str(), 0755));
            ASSERT_TRUE(write_file(in_view(path + "/private.txt"), mine));
            break;
        case Kind::link: ASSERT_EQ(0, ::symlink("c.c", in_view(path).c_str())); break;
        }
        const bool checked_out = std::string(row.flags).find("is-checked-out=\"true\"") != std::string::npos;
        const std::string made = vob().mkelem(path, row.kind, row.kind == Kind::link ? std::string("c.c") : mine,
                                              {false, checked_out});

        const size_t mark = journal_mark();
        const lib_test::Reply reply = mkelem(path, row.flags, row.named_version ? made : NULL_OID);
        EXPECT_EQ("0", status(reply)) << message(reply);
        EXPECT_FALSE(reply.has_child("status-message"));
        const std::string leaf = path.substr(path.rfind('/') + 1);
        EXPECT_EQ((Lines{inval_name(vob().parent_oid(path), leaf), inval_obj(vob().element_oid("/vob1/dir"), MKELEM)}),
                  own_invalidations(mark));
        EXPECT_EQ(row.kernel_asked ? 1u : 0u, kernel_stats_since(mark, path));

        if (row.fetched) {
            EXPECT_TRUE(eventually([&] { return cached_versions().count(made) == 1; }));
        }
        const View_File shown = file(path);
        switch (row.kind) {
        case Kind::file:
            EXPECT_EQ(mine, shown.bytes);
            // The element's version, read-only; a checked-out file stays the
            // user's own.
            EXPECT_EQ(checked_out ? 0644u : 0444u, shown.mode);
            break;
        case Kind::directory:
            EXPECT_EQ('d', shown.type);
            EXPECT_EQ((Lines{"private.txt"}), listing(path));
            EXPECT_EQ(mine, file(path + "/private.txt").bytes);
            break;
        case Kind::link: EXPECT_EQ("c.c", shown.link); break;
        }
        EXPECT_EQ(row.cached ? 1u : 0u, cached_versions().count(made));
        if (row.cached) {
            EXPECT_EQ(mine, cached_versions().at(made));
            EXPECT_EQ(0400u, cached_mode(made));
        }
        EXPECT_EQ(row.fetched ? 1u : 0u, gets(made));
    }
    EXPECT_EQ(0u, cache_tmp_files());
    EXPECT_EQ(vob().names("/vob1/dir"), listing("/vob1/dir"));
}

// Make-path over two levels: the view-private directories above a new file
// become the directory elements the client made, keeping their other
// entries; the names are flushed deepest first, then the nearest element's
// directory; the parent listing is read again.
TEST_F(E2eMkelem, MakePathOverTwoLevelsMakesEachNewDirectoryAnElement) {
    if (!mount_view()) return;
    for (const bool named : {true, false}) {
        SCOPED_TRACE(named ? "the file's version named" : "no version named");
        const std::string top = named ? "/vob1/n1" : "/vob1/m1";
        const std::string mid = top + "/n2", path = mid + "/f.c";
        const std::string mine = "made under " + mid + "\n";
        ASSERT_EQ(0, ::mkdir(in_view(top).c_str(), 0755));
        ASSERT_EQ(0, ::mkdir(in_view(mid).c_str(), 0755));
        ASSERT_TRUE(write_file(in_view(path), mine));
        ASSERT_TRUE(write_file(in_view(top + "/notes"), "notes\n"));
        const std::string made = vob().mkelem(path, Kind::file, mine, {true, false});

        const size_t mark = journal_mark();
        const size_t reads_before = directory_reads(vob().oid(mid));
        const lib_test::Reply reply = mkelem(path, R"(make-path="true")", named ? made : NULL_OID);
        EXPECT_EQ("0", status(reply)) << message(reply);
        EXPECT_FALSE(reply.has_child("status-message"));
        // The two view-private directories' oids are the view's own: only
        // their names are known here.
        const Lines own = own_invalidations(mark);
        ASSERT_EQ(4u, own.size()) << joined(own);
        EXPECT_EQ("f.c", own[0].substr(own[0].rfind(' ') + 1));
        EXPECT_EQ("n2", own[1].substr(own[1].rfind(' ') + 1));
        EXPECT_EQ(inval_name(vob().oid("/vob1"), top.substr(6)), own[2]);
        EXPECT_EQ(inval_obj(vob().element_oid("/vob1"), MKELEM), own[3]);
        EXPECT_EQ(0u, kernel_stats_since(mark, path));

        EXPECT_TRUE(eventually([&] { return directory_reads(vob().oid(mid)) > reads_before; }))
            << "the parent's listing was not read again";
        if (!named) {
            EXPECT_TRUE(eventually([&] { return cached_versions().count(made) == 1; }));
        }
        EXPECT_EQ('d', file(top).type);
        EXPECT_EQ('d', file(mid).type);
        EXPECT_EQ((Lines{"n2", "notes"}), listing(top));
        EXPECT_EQ("notes\n", file(top + "/notes").bytes);
        EXPECT_EQ((Lines{"f.c"}), listing(mid));
        EXPECT_EQ(mine, file(path).bytes);
        EXPECT_EQ(0444u, file(path).mode);
        EXPECT_EQ(mine, cached_versions().at(made));
        EXPECT_EQ(named ? 0u : 1u, gets(made));
    }
}

// An update took the new element up while the view-private file still hid
// it: the path is eclipsed, which is not version-controlled, so the walk
// flushes the file's own name and stops at its parent directory, in which
// the element is found.
TEST_F(E2eMkelem, MakePathOverAnElementTheViewKnowsAlreadyReadsItsParentFirst) {
    if (!mount_view()) return;
    const std::string path = "/vob1/dir/known.c";
    ASSERT_TRUE(write_file(in_view(path), "known\n"));
    const std::string made = vob().mkelem(path, Kind::file, std::string("known\n"));
    EXPECT_EQ("Succeeded", update().tail_value("Status"));

    const size_t mark = journal_mark();
    const lib_test::Reply reply = mkelem(path, R"(make-path="true")", made);
    EXPECT_EQ("0", status(reply)) << message(reply);
    EXPECT_FALSE(reply.has_child("status-message"));
    // The file's name, then the parent element.
    EXPECT_EQ((Lines{inval_name(vob().parent_oid(path), "known.c"), inval_obj(vob().element_oid("/vob1/dir"), MKELEM)}),
              own_invalidations(mark));
    EXPECT_EQ("known\n", file(path).bytes);
    EXPECT_EQ(0444u, file(path).mode);
    EXPECT_EQ("known\n", cached_versions().at(made));
    EXPECT_EQ(vob_tree(), view_tree());
}

// A new directory that the view already shows eclipsed (an update took up
// the element the client made of it while the view-private directory still
// stood over it) is no element yet for make-path: it is flushed and adopted
// as any new directory, and the file is found under it.
TEST_F(E2eMkelem, MakePathUnderANewDirectoryTheViewSeesEclipsedAdoptsIt) {
    if (!mount_view()) return;
    const std::string top = "/vob1/e1", path = top + "/f.c";
    const std::string mine = "made under " + top + "\n";
    ASSERT_EQ(0, ::mkdir(in_view(top).c_str(), 0755));
    ASSERT_TRUE(write_file(in_view(path), mine));
    const std::string made = vob().mkelem(path, Kind::file, mine, {true, false});
    EXPECT_EQ("Succeeded", update().tail_value("Status"));
    ASSERT_EQ("false false true", described(top));

    const size_t mark = journal_mark();
    const lib_test::Reply reply = mkelem(path, R"(make-path="true")", made);
    EXPECT_EQ("0", status(reply)) << message(reply);
    EXPECT_FALSE(reply.has_child("status-message")) << message(reply);
    const Lines own = own_invalidations(mark);
    ASSERT_EQ(3u, own.size()) << joined(own);
    EXPECT_EQ("f.c", own[0].substr(own[0].rfind(' ') + 1));
    EXPECT_EQ(inval_name(vob().oid("/vob1"), "e1"), own[1]);
    EXPECT_EQ(inval_obj(vob().element_oid("/vob1"), MKELEM), own[2]);
    EXPECT_EQ("true false false", described(top));
    EXPECT_EQ((Lines{"f.c"}), listing(top));
    EXPECT_EQ(mine, file(path).bytes);
    EXPECT_EQ(mine, cached_versions().at(made));
}

// What goes wrong, row by row: the reply's status and message, and what the
// view and the cache hold afterwards. The names were flushed before the
// failing step and stay so. A view-private file that cannot be removed
// fails the request whether or not its bytes were adopted (it would hide
// the element), and then nothing is fetched.
TEST_F(E2eMkelem, FailuresAnswerTheirStatusAndLeaveNoHalfAdoptedFile) {
    if (!mount_view()) return;
    const struct {
        const char* name;
        const char* leaf;
        bool named_version;
        std::function<void(const std::string& version)> fault;
        const char* status;
        std::function<bool(const std::string& message)> message;
        bool adopted;   // the cache holds the whole file afterwards
    } rows[] = {
        {"the copy cannot read the file", "copy.c", true, [&](const std::string&) { fail_copy(); }, "20001",
         [&](const std::string& m) { return m == "Error from read on \"" + in_view("/vob1/dir/copy.c") + "\": " + EIO_TEXT; },
         false},
        {"the copy cannot be put in place", "rename.c", true, [&](const std::string& v) { block_cache_file(v); },
         "20001", [](const std::string& m) { return m.find("Unable to rename temporary file") == 0; }, false},
        {"the adopted file cannot be removed", "kept.c", true, [&](const std::string&) { fail_removal(); }, "20001",
         [&](const std::string& m) { return m.find(in_view("/vob1/dir/kept.c")) != std::string::npos; }, true},
        {"no version, and the file cannot be removed", "stuck.c", false, [&](const std::string&) { fail_removal(); },
         "20001", [&](const std::string& m) { return m.find(in_view("/vob1/dir/stuck.c")) != std::string::npos; },
         false},
        {"the server's Lookup answers 500", "lookup.c", true, [&](const std::string&) { refuse_lookup("lookup.c"); },
         "20048",
         [&](const std::string& m) {
             return m == "Unable to lookup path \"" + in_view("/vob1/dir/lookup.c") + "\": Error 20048\n";
         },
         false},
    };
    Lines made_versions;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string path = std::string("/vob1/dir/") + row.leaf;
        const std::string mine = std::string("private ") + row.leaf + "\n";
        ASSERT_TRUE(write_file(in_view(path), mine));
        const std::string made = vob().mkelem(path, Kind::file, mine);
        made_versions.push_back(made);
        row.fault(made);
        const size_t mark = journal_mark();
        const lib_test::Reply reply = mkelem(path, "", row.named_version ? made : NULL_OID);
        EXPECT_EQ(row.status, status(reply));
        EXPECT_TRUE(row.message(message(reply))) << message(reply);
        EXPECT_EQ((Lines{inval_name(vob().parent_oid(path), row.leaf),
                         inval_obj(vob().element_oid("/vob1/dir"), MKELEM)}),
                  own_invalidations(mark));
        expect_left(path, mine, made, row.adopted);
    }
    expect_not_fetched(made_versions);
}

// With tracing on, an adoption traces the status of its copy of the file.
class E2eMkelemTraced : public E2eContentOps {
protected:
    E2eMkelemTraced() { agent_settings = "ostrelTraceLevel=4\nostrelTraceSubsystem=OSTRELAGENT\n"; }
};

TEST_F(E2eMkelemTraced, AnAdoptionTracesTheStatusOfItsCopy) {
    if (!mount_view()) return;
    const std::string path = "/vob1/dir/traced.c", mine = "traced\n";
    ASSERT_TRUE(write_file(in_view(path), mine));
    const std::string made = vob().mkelem(path, Kind::file, mine);
    const lib_test::Reply reply = mkelem(path, "", made);
    EXPECT_EQ("0", status(reply)) << message(reply);
    EXPECT_EQ(mine, cached_versions().at(made));
    const std::string traces = all_traces();
    EXPECT_NE(std::string::npos, traces.find("::OstrelAgent_Cleartext::adopt::")) << "no adoption traced";
    EXPECT_NE(std::string::npos, traces.find("::Status from fileutl_cp = 0\n"));
}

// ---- Checkin -----------------------------------------------------------------------------

// A checked-out file edited through the mount and checked in on the server:
// the view shows the checked-in version, which holds the edited bytes. Named
// in the request, the version's cleartext is the adopted file and nothing
// is fetched; otherwise it is fetched in the background once the file is
// gone. The element and its name were dropped, in that order.
TEST_F(E2eCheckin, ACheckedInFileShowsItsEditedBytesAdoptedOrFetched) {
    if (!mount_view()) return;
    std::map<std::string, std::string> edits = check_out_and_edit({"/vob1/a.c", "/vob1/b.c"});
    for (const bool named : {true, false}) {
        SCOPED_TRACE(named ? "the new version named" : "no version named");
        const std::string path = named ? "/vob1/a.c" : "/vob1/b.c";
        const std::string edited = edits[path];
        const std::string checked_in = vob().checkin(path, edited);

        const size_t mark = journal_mark();
        const lib_test::Reply reply = checkin(path, named ? checked_in : NULL_OID);
        EXPECT_EQ("0", status(reply)) << message(reply);
        EXPECT_FALSE(reply.has_child("status-message"));
        EXPECT_EQ((Lines{inval_obj(vob().element_oid(path), CHECKIN),
                         inval_name(vob().parent_oid(path), path.substr(6))}),
                  own_invalidations(mark));
        // Adopted before the reply; fetched after it.
        if (named) {
            EXPECT_EQ(1u, cached_versions().count(checked_in));
        } else {
            EXPECT_TRUE(eventually([&] { return cached_versions().count(checked_in) == 1; }));
        }
        EXPECT_EQ(edited, cached_versions()[checked_in]);
        EXPECT_EQ(0400u, cached_mode(checked_in));
        const View_File shown = file(path);
        EXPECT_EQ('f', shown.type);
        EXPECT_EQ(edited, shown.bytes);
        EXPECT_EQ(vob().mode(path), shown.mode);
        EXPECT_EQ("true false false", described(path));
        EXPECT_EQ(named ? 0u : 1u, gets(checked_in));
    }
    EXPECT_EQ(0u, cache_tmp_files());
    EXPECT_EQ(vob_tree(), view_tree());
}

// A directory's and the VOB root's checkin: the checkout goes, the element
// is dropped, and the checked-in version's listing is read again.
TEST_F(E2eCheckin, ADirectoryOrTheVobRootIsReadAgainOnceCheckedIn) {
    if (!mount_view()) return;
    for (const std::string path : {"/vob1/dir", "/vob1"}) {
        SCOPED_TRACE(path);
        const bool root = path == "/vob1";
        const std::string checked_out = vob().checkout(path);
        if (root) {
            // The view takes the root's checkout up by an update (a root
            // checked out by Checkout right after a directory's checkout and
            // checkin can be left unresolvable for a while, which is
            // Checkout's matter, not this test's).
            EXPECT_EQ("Succeeded", update().tail_value("Status"));
        } else {
            const lib_test::Reply co = call(checkout_request(path, checked_out));
            ASSERT_EQ("0", status(co)) << message(co);
            EXPECT_EQ("true true false", described(path));
        }
        // Listed whole by a client (the view database then holds its whole
        // listing): the checkin lists it again.
        EXPECT_EQ(vob().names(path), children(path));
        if (!root) {
            // So is its parent, whose listing the Checkout queued in the
            // background: that listing names the directory again, which
            // keeps the directory's listing. Left to the pool it might come
            // after the server's checkin instead, and show the checked-in
            // version, not listed, before the Checkin request.
            EXPECT_EQ(vob().names("/vob1"), children("/vob1"));
        }
        const std::string checked_in = vob().checkin(path);

        const size_t mark = journal_mark();
        const lib_test::Reply reply = checkin(path, checked_in);
        EXPECT_EQ("0", status(reply)) << message(reply);
        EXPECT_FALSE(reply.has_child("status-message"));
        const Lines own = own_invalidations(mark);
        if (root) {
            EXPECT_EQ((Lines{inval_obj(vob().element_oid(path), CHECKIN)}), own);
        } else {
            EXPECT_EQ((Lines{inval_obj(vob().element_oid(path), CHECKIN), inval_name(vob().parent_oid(path), "dir")}),
                      own);
        }
        EXPECT_TRUE(eventually([&] { return directory_reads(checked_in) > 0; }))
            << "the checked-in version's listing was not read";
        EXPECT_TRUE(eventually([&] { return vob().names(path) == listing(path); })) << joined(listing(path));
        EXPECT_EQ("true false false", described(path));
        EXPECT_EQ(0u, cached_versions().count(checked_in)) << "a directory has no cleartext";
    }
    EXPECT_EQ(vob_tree(), view_tree());
}

// What goes wrong, row by row. An adoption that fails leaves the checked-out
// file and the caches as they were; once the file was adopted, what a later
// step did not do stays undone, the cache holding the whole adopted file.
TEST_F(E2eCheckin, FailuresAnswerTheirStatusAndLeaveNoHalfAdoptedFile) {
    if (!mount_view()) return;
    const struct {
        const char* name;
        const char* leaf;
        bool named_version;
        std::function<void(const std::string& version)> fault;
        const char* status;
        std::function<bool(const std::string& message)> message;
        bool flushed;   // the element and its name dropped
        bool adopted;   // the cache holds the whole file afterwards
    } rows[] = {
        {"the copy cannot read the file", "copy.c", true, [&](const std::string&) { fail_copy(); }, "20001",
         [&](const std::string& m) { return m == "Error from read on \"" + in_view("/vob1/dir/copy.c") + "\": " + EIO_TEXT; },
         false, false},
        {"the copy cannot be put in place", "rename.c", true, [&](const std::string& v) { block_cache_file(v); },
         "20001", [](const std::string& m) { return m.find("Unable to rename temporary file") == 0; }, false, false},
        {"the checked-out file cannot be removed", "kept.c", true, [&](const std::string&) { fail_removal(); },
         "20001", [&](const std::string& m) { return m.find(in_view("/vob1/dir/kept.c")) != std::string::npos; },
         true, true},
        {"no version, and the file cannot be removed", "stuck.c", false, [&](const std::string&) { fail_removal(); },
         "20001", [&](const std::string& m) { return m.find(in_view("/vob1/dir/stuck.c")) != std::string::npos; },
         true, false},
        {"the server's Lookup answers 500 after the flush", "lookup.c", true,
         [&](const std::string&) { refuse_lookup("lookup.c"); }, "20002",
         [](const std::string& m) {
             return m == "Lookup of \"dir/lookup.c\" incomplete; could not look up \"lookup.c\"\n";
         },
         true, true},
    };
    // The files, loaded first.
    vob().batch([&] {
        for (const auto& row : rows) vob().mkelem(std::string("/vob1/dir/") + row.leaf);
    });
    EXPECT_EQ("Succeeded", update().tail_value("Status"));
    Lines paths;
    for (const auto& row : rows) paths.push_back(std::string("/vob1/dir/") + row.leaf);
    std::map<std::string, std::string> edits = check_out_and_edit(paths);
    Lines checked_in_versions;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string path = std::string("/vob1/dir/") + row.leaf;
        const std::string edited = edits[path];
        const std::string checked_in = vob().checkin(path, edited);
        checked_in_versions.push_back(checked_in);
        row.fault(checked_in);
        const size_t mark = journal_mark();
        const lib_test::Reply reply = checkin(path, row.named_version ? checked_in : NULL_OID);
        EXPECT_EQ(row.status, status(reply));
        EXPECT_TRUE(row.message(message(reply))) << message(reply);
        EXPECT_EQ(row.flushed ? 2u : 0u, own_invalidations(mark).size()) << joined(own_invalidations(mark));
        // The checked-out file is still what the name shows.
        expect_left(path, edited, checked_in, row.adopted);
    }
    expect_not_fetched(checked_in_versions);
}

// ---- both --------------------------------------------------------------------------------

// Requests refused before any work: malformed fields, a path in no VOB the
// view mounts, the view offline. Nothing is flushed, the view-private file
// (for Checkin, the checked-out one) stays as it was, and nothing reaches
// the cache or the server.
TEST_F(E2eContentOps, RefusedRequestsChangeNothing) {
    if (!mount_view()) return;
    const std::string ci_path = "/vob1/a.c";
    const std::string edited = check_out_and_edit({ci_path})[ci_path];
    const std::string checked_in = vob().checkin(ci_path, edited);
    const std::string mk_path = "/vob1/dir/refused.c";
    ASSERT_TRUE(write_file(in_view(mk_path), "private\n"));
    const std::string made = vob().mkelem(mk_path, Kind::file, std::string("private\n"));
    const std::string tree_before = view_tree();
    const std::map<std::string, std::string> cached_before = cached_versions();

    const auto body = [](const std::string& path, const std::string& replica, const std::string& version,
                         const std::string& flags) {
        return "<path>" + path + "</path>" + replica + flags + version;
    };
    const auto replica = [](const std::string& text) { return "<replica-uuid>" + text + "</replica-uuid>"; };
    const auto version = [](const std::string& text) { return "<new-ver-oid>" + text + "</new-ver-oid>"; };
    const std::string good_replica = replica(Served_Vob::REPLICA);
    const std::string not_mounted = "No known mounted VOB found in \"/novob\"";
    struct Row {
        const char* name;
        std::string mkelem_body;
        std::string checkin_body;
        std::string status;
        std::string message;   // empty: the parse error
    };
    const Row rows[] = {
        {"an empty replica", body(mk_path, "<replica-uuid/>", version(made), "<mkelem-flags/>"),
         body(ci_path, "<replica-uuid/>", version(checked_in), ""), "20021", ""},
        {"a malformed replica", body(mk_path, replica("9a00-b1"), version(made), "<mkelem-flags/>"),
         body(ci_path, replica("9a00-b1"), version(checked_in), ""), "20021", ""},
        {"an empty version", body(mk_path, good_replica, "<new-ver-oid/>", "<mkelem-flags/>"),
         body(ci_path, good_replica, "<new-ver-oid/>", ""), "20021", ""},
        {"a malformed version", body(mk_path, good_replica, version(made + "0"), "<mkelem-flags/>"),
         body(ci_path, good_replica, version("0e00"), ""), "20021", ""},
        {"a path in no mounted VOB", body("/novob/x.c", good_replica, version(made), "<mkelem-flags/>"),
         body("/novob/x.c", good_replica, version(checked_in), ""), "20047", not_mounted},
    };
    for (const Row& row : rows) {
        for (const bool is_mkelem : {true, false}) {
            SCOPED_TRACE(std::string(row.name) + (is_mkelem ? ", Mkelem" : ", Checkin"));
            std::string text = make_request(is_mkelem ? "Mkelem" : "Checkin", "r",
                                             is_mkelem ? row.mkelem_body : row.checkin_body);
            const size_t mark = journal_mark();
            const lib_test::Reply reply = call(text);
            EXPECT_EQ(row.status, status(reply));
            if (row.message.empty()) {
                EXPECT_EQ("Parse error in \"" + text + "\".\n", message(reply));
            } else {
                EXPECT_EQ(0u, message(reply).find(row.message)) << message(reply);
            }
            EXPECT_EQ(Lines{}, own_invalidations(mark));
        }
    }
    offline_while([&] {
        for (const std::string& text :
             {make_request("Mkelem", "off", body(mk_path, good_replica, version(made), "<mkelem-flags/>")),
              make_request("Checkin", "off", body(ci_path, good_replica, version(checked_in), ""))}) {
            SCOPED_TRACE(text);
            const size_t mark = journal_mark();
            const lib_test::Reply reply = call(text);
            EXPECT_EQ("20033", status(reply));
            EXPECT_EQ("Client is disconnected from the server.\n", message(reply));
            EXPECT_EQ(Lines{}, own_invalidations(mark));
        }
    });
    EXPECT_EQ(tree_before, view_tree());
    EXPECT_EQ(cached_before, cached_versions());
    EXPECT_EQ(0u, gets(made));
    EXPECT_EQ(0u, gets(checked_in));
}

} // namespace
} // namespace e2e
