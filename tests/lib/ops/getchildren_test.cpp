// GetChildren on a served view (real view database, namespace cache and
// simulated kernel, "/vobs/a" and "/vobs/b" mounted, the server scripted):
// the paths it lists and refuses, the mounted VOBs at the view root, a
// directory of view-private names longer than a batch; and, on batches a
// test hands it in place of the namespace's reads, which entries it leaves
// out, how a failed look-up, a failed read and a damaged batch end the
// listing.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "lib/core/ostrelagent_status.h"
#include "lib/fetch/fetch_test_support.h"
#include "lib/installed_view.h"
#include "lib/ops/ostrelagent_dirent_batch.h"
#include "lib/ops/ostrelagent_getchildren.h"
#include "lib/reply_test_support.h"
#include "xml/norvane_xml_parser.h"

namespace {

using namespace fetch_test;
namespace S = OstrelAgent_Status;
using Names = std::vector<std::string>;

constexpr vob_mtype_t DIR_KIND = 2, FILE_KIND = 5, LINK_KIND = 7, OTHER_KIND = 3;

std::string request(const std::string& inner) {
    return "<GetChildren version=\"1\" tx-id=\"c1\">" + inner + "</GetChildren>";
}
std::string path_request(const std::string& path) { return request("<path>" + path + "</path>"); }

NorvaneAutoPtr<NorvaneXmlDoc> parse(const std::string& text) {
    NorvaneXmlParser parser;
    return parser.parse_string(text);
}

// One packed record of a batch.
std::string record(const std::string& name, vob_mtype_t kind, view_name_state_t state = 0) {
    view_dirent_ext head{};
    head.namlen = static_cast<uint16_t>(name.size());
    head.name_state = state;
    head.obj_mtype = kind;
    std::string bytes(view_dirent_ext_reclen(head.namlen), '\0');
    view_dirent_ext_write(&bytes[0], &head, name.c_str());
    return bytes;
}

// A batch as a read hands it over.
struct Batch {
    std::string bytes;
    int status = 0;
    int end = 1;
    unsigned next = 100;
    // The bytes said to be used, when not the batch's own length.
    int used = -1;
};

// GetChildren reading the batches a test gives it.
class Scripted_GetChildren : public OstrelAgent_GetChildren {
public:
    Scripted_GetChildren(const std::string& text, std::vector<Batch> batches)
        : OstrelAgent_GetChildren(text, parse(text)), m_batches(std::move(batches)) {}
    std::vector<unsigned> cookies;  // asked for, in order

protected:
    int read_batch(view_fhandle&, unsigned cookie, unsigned& next, unsigned& used, int& end, void* buf,
                   unsigned size) override {
        cookies.push_back(cookie);
        if (cookies.size() > m_batches.size()) {
            ADD_FAILURE() << "read past the test's batches";
            end = 1;
            return 0;
        }
        const Batch& batch = m_batches[cookies.size() - 1];
        std::memcpy(buf, batch.bytes.data(), std::min<size_t>(size, batch.bytes.size()));
        used = batch.used >= 0 ? static_cast<unsigned>(batch.used) : static_cast<unsigned>(batch.bytes.size());
        next = batch.next;
        end = batch.end;
        return batch.status;
    }

private:
    std::vector<Batch> m_batches;
};

// GetChildren counting the namespace's reads it makes.
class Counting_GetChildren : public OstrelAgent_GetChildren {
public:
    explicit Counting_GetChildren(const std::string& text) : OstrelAgent_GetChildren(text, parse(text)) {}
    int reads = 0;

protected:
    int read_batch(view_fhandle& dir, unsigned cookie, unsigned& next, unsigned& used, int& end, void* buf,
                   unsigned size) override {
        ++reads;
        return OstrelAgent_GetChildren::read_batch(dir, cookie, next, used, end, buf, size);
    }
};

// What a client reads of a reply: "name type" per child, in order.
struct Answer {
    std::string status;
    std::string message;
    Names children;
};

Answer answer_of(OstrelAgent_GetChildren& op) {
    const lib_test::Reply reply = lib_test::read_reply(op.get_response());
    EXPECT_TRUE(reply.parsed);
    EXPECT_EQ("GetChildren", reply.root);
    EXPECT_EQ("c1", reply.attrs.at("tx-id"));
    Answer a;
    a.status = reply.attrs.at("status-code");
    if (reply.has_child("status-message")) a.message = reply.children.at("status-message");
    for (const lib_test::Reply_Element& e : reply.elements) {
        if (e.tag == "status-message") continue;
        EXPECT_EQ("child", e.tag);
        a.children.push_back(e.text + " " + e.attrs.at("type"));
    }
    return a;
}

class GetChildren : public FetchTest {
protected:
    std::string view_root() { return OstrelAgent_View_Handler::get_view()->get_view_root(); }

    Answer run(const std::string& text) {
        OstrelAgent_GetChildren op(text, parse(text));
        op.process_request();
        return answer_of(op);
    }
    Answer run_batches(std::vector<Batch> batches, Scripted_GetChildren** kept = nullptr) {
        m_scripted.reset(new Scripted_GetChildren(path_request("/vobs/a"), std::move(batches)));
        m_scripted->process_request();
        if (kept != nullptr) *kept = m_scripted.get();
        return answer_of(*m_scripted);
    }

    static std::string lookup_failed(const std::string& name, int status) {
        return "Error from ns_lookup on \"" + name + "\": " + qel_strerror(status) + "\n";
    }
    static std::string read_failed(const std::string& why) { return "Error from ns_readdir_ext: " + why + "\n"; }

private:
    std::unique_ptr<Scripted_GetChildren> m_scripted;
};

TEST_F(GetChildren, ListsADirectoryByItsPathOrTheMountedVobsAtTheViewRoot) {
    struct Case {
        std::string what;
        std::string text;
        int status;
        Names children;
        std::string message;  // its beginning
    };
    const std::string root = view_root();
    const Case cases[] = {
        {"a VOB root, relative to the view root", path_request("/vobs/a"), 0,
         {"a.c file", "ln symlink", "d directory"}, ""},
        {"a directory under the view root", path_request(root + "/vobs/a/d"), 0,
         {"g.c file", "e directory", "up symlink", "loop symlink", "abs symlink", "toe symlink",
          "dangling symlink"},
         ""},
        {"a link to a directory lists the directory", path_request("/vobs/a/d/toe"), 0, {"f file"}, ""},
        {"the view root: the mounted VOBs, by tag", path_request(root), 0, {"vobs/a directory", "vobs/b directory"},
         ""},
        {"a file", path_request("/vobs/a/a.c"), S::GENERAL_FAILURE, {}, qel_strerror(QEL_ST_NOT_DIRECTORY)},
        {"a link to a file", path_request("/vobs/a/ln"), S::GENERAL_FAILURE, {}, qel_strerror(QEL_ST_NOT_DIRECTORY)},
        {"a name the VOB lacks", path_request("/vobs/a/nope"), S::NOT_FOUND, {}, "Lookup of \"nope\" incomplete"},
        {"a path in no mounted VOB", path_request("/vobs/zz/d"), S::VOB_NOT_MOUNTED, {}, "No known mounted VOB"},
        {"no path", request(""), S::MALFORMED_REQUEST, {}, "\"path\" not found in XML request."},
        {"a path not below the view root", path_request("vobs/a"), S::MALFORMED_REQUEST, {}, "Parse error in"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Answer a = run(c.text);
        EXPECT_EQ(std::to_string(c.status), a.status);
        EXPECT_EQ(c.children, a.children);
        if (c.message.empty()) {
            EXPECT_EQ("", a.message);
        } else {
            EXPECT_EQ(0u, a.message.rfind(c.message, 0)) << a.message;
        }
    }

    // With no VOB mounted the view root has no children.
    view_test::Installed_View::clear_registry();
    const Answer none = run(path_request(root));
    EXPECT_EQ("0", none.status);
    EXPECT_EQ(Names{}, none.children);
}

// A directory of view-private names spread over several batches is listed
// whole, each name once and in directory order, its kinds found by look-up.
TEST_F(GetChildren, ADirectoryLargerThanABatchIsListedWhole) {
    view_fhandle big{};
    ASSERT_EQ(0, mkdir(root(), "big", &big));
    Names made;
    for (int i = 0; i < 300; ++i) {
        const std::string name = "a-rather-long-view-private-file-name-" + std::to_string(i);
        ASSERT_EQ(0, create(big, name.c_str())) << name;
        made.push_back(name + " file");
    }
    ASSERT_EQ(0, mkdir(big, "sub"));
    made.push_back("sub directory");
    view_set_attr attr = file_attr(QEL_FTYPE_LNK, 0777);
    view_fhandle out{};
    view_vstat vstat{}, dir_vstat{};
    ASSERT_EQ(0, ns_symlink(&big, "to-sub", &attr, "sub", &out, &vstat, &dir_vstat, nullptr, nullptr));
    made.push_back("to-sub symlink");
    // A kind of file the reply has no word for.
    view_set_attr fifo = file_attr(6, 0644);
    char container[1024];
    unsigned length = 0;
    ASSERT_EQ(0, ns_create(&big, "pipe", &fifo, sizeof container, &out, &vstat, container, &length, &dir_vstat,
                           nullptr, nullptr));
    made.push_back("pipe unknown");
    const std::string empty_dir_text = path_request("/vobs/a/big/sub");

    Counting_GetChildren op(path_request("/vobs/a/big"));
    op.process_request();
    const Answer a = answer_of(op);
    EXPECT_EQ("0", a.status) << a.message;
    EXPECT_GE(op.reads, 3) << "300 records of about 100 bytes take several 8192-byte batches";
    EXPECT_EQ(made, a.children);
    EXPECT_EQ(made.size(), std::set<std::string>(a.children.begin(), a.children.end()).size());

    const Answer empty = run(empty_dir_text);
    EXPECT_EQ("0", empty.status);
    EXPECT_EQ(Names{}, empty.children);
}

// Which entries of a batch become children, and of what kind: "." and "..",
// names a look-up would refuse and entries without an object are left out;
// element kinds give their type without a look-up, other kinds are looked
// up by name.
TEST_F(GetChildren, EntriesAreKeptOrLeftOutByTheirStateAndKind) {
    std::string batch = record(".", DIR_KIND) + record("..", DIR_KIND);
    for (view_name_state_t refused : {0x2u, 0x4u, 0x8u, 0x100u, 0x100000u})
        batch += record("refused-" + std::to_string(refused), FILE_KIND, refused);
    batch += record("no-object", 0);
    // Bits a look-up accepts: a view object, a checked-out name.
    batch += record("view-object", FILE_KIND, 0x1) + record("checked-out", FILE_KIND, 0x20);
    // The element kinds are taken as they come: no such name is looked up.
    batch += record("ghost-dir", DIR_KIND) + record("ghost-file", FILE_KIND) + record("ghost-link", LINK_KIND);
    batch += record("ln", OTHER_KIND) + record("d", OTHER_KIND) + record("a.c", 19);
    Scripted_GetChildren* op = nullptr;
    const Answer a = run_batches({{batch}}, &op);
    EXPECT_EQ("0", a.status) << a.message;
    EXPECT_EQ((Names{"view-object file", "checked-out file", "ghost-dir directory", "ghost-file file",
                     "ghost-link symlink", "ln symlink", "d directory", "a.c file"}),
              a.children);
    EXPECT_EQ(std::vector<unsigned>{0}, op->cookies);
}

// Batches follow each other by the cookie the read gives back; a failed
// look-up fails the reply but the rest of its batch is still examined and
// no further batch is read; a failed read keeps what came before it.
TEST_F(GetChildren, FailuresEndTheListingAndKeepWhatWasFound) {
    Scripted_GetChildren* op = nullptr;
    Batch first{record("x", FILE_KIND)};
    first.end = 0;
    first.next = 7;
    Answer a = run_batches({first, {record("y", DIR_KIND)}}, &op);
    EXPECT_EQ("0", a.status);
    EXPECT_EQ((Names{"x file", "y directory"}), a.children);
    EXPECT_EQ((std::vector<unsigned>{0, 7}), op->cookies);

    Batch failing{record("x", FILE_KIND) + record("nope", OTHER_KIND) + record("y", DIR_KIND) +
                  record("gone", OTHER_KIND) + record("ln", OTHER_KIND)};
    failing.end = 0;
    a = run_batches({failing, {record("z", FILE_KIND)}}, &op);
    EXPECT_EQ(std::to_string(S::NOT_FOUND), a.status);
    EXPECT_EQ(lookup_failed("nope", QEL_ST_NO_ENTRY) + lookup_failed("gone", QEL_ST_NO_ENTRY), a.message);
    EXPECT_EQ((Names{"x file", "y directory", "ln symlink"}), a.children);
    EXPECT_EQ(std::vector<unsigned>{0}, op->cookies) << "no batch after a failed look-up";

    struct Case {
        int status;
        std::string reply_status;
    };
    for (const Case& c : {Case{QEL_ST_STALE, std::to_string(S::GENERAL_FAILURE)},
                          Case{QEL_ST_NOT_FOUND, std::to_string(S::NOT_FOUND)}}) {
        SCOPED_TRACE(c.status);
        Batch broken;
        broken.status = c.status;
        a = run_batches({first, broken});
        EXPECT_EQ(c.reply_status, a.status);
        EXPECT_EQ(read_failed(qel_strerror(c.status)), a.message);
        EXPECT_EQ(Names{"x file"}, a.children);
    }
}

// A batch whose records do not lie within the bytes it used is refused
// with the place and the reason; the records before the damage are kept.
TEST_F(GetChildren, ADamagedBatchIsRefusedNotReadPastItsEnd) {
    const std::string good = record("x", FILE_KIND);  // 60 bytes
    std::string unterminated = record("abc", FILE_KIND);
    unterminated[VIEW_DIRENT_EXT_NAME_OFFSET + 3] = 'd';
    std::string inner_nul = record("abc", FILE_KIND);
    inner_nul[VIEW_DIRENT_EXT_NAME_OFFSET + 1] = '\0';
    std::string too_long = record("abc", FILE_KIND);
    view_dirent_ext head{};
    view_dirent_ext_read(too_long.data(), &head);
    head.namlen = 300;
    std::memcpy(&too_long[0], &head, VIEW_DIRENT_EXT_NAME_OFFSET);
    std::string empty_name = record("abc", FILE_KIND);
    head.namlen = 0;
    std::memcpy(&empty_name[0], &head, VIEW_DIRENT_EXT_NAME_OFFSET);

    struct Case {
        const char* what;
        Batch batch;
        std::string damage;
    };
    const Case cases[] = {
        {"a head cut short", {good + std::string(30, 'q')},
         "damaged entry at byte 60 of 90: 30 bytes left, too few for an entry"},
        {"a name running past the bytes used", {good + too_long},
         "damaged entry at byte 60 of 124: name of 300 bytes runs past the bytes used"},
        {"an empty name", {good + empty_name}, "damaged entry at byte 60 of 124: empty name"},
        {"a name without its NUL", {good + unterminated}, "damaged entry at byte 60 of 124: name not terminated"},
        {"a name holding a NUL", {good + inner_nul}, "damaged entry at byte 60 of 124: name holds a NUL"},
        {"more bytes used than the buffer holds", {good, 0, 1, 100, 8193},
         "8193 bytes said to be used of a buffer of 8192"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Answer a = run_batches({c.batch});
        EXPECT_EQ(std::to_string(S::GENERAL_FAILURE), a.status);
        EXPECT_EQ(read_failed(c.damage), a.message);
        EXPECT_EQ(c.batch.used < 0 ? Names{"x file"} : Names{}, a.children);
    }

    // A read that neither ends nor moves on is refused, not asked again.
    Batch stuck{good};
    stuck.end = 0;
    stuck.next = 0;
    const Answer a = run_batches({stuck});
    EXPECT_EQ(std::to_string(S::GENERAL_FAILURE), a.status);
    EXPECT_EQ(read_failed("no entry past cookie 0"), a.message);
}

} // namespace
