#pragma once
// The bench of the element operations' end-to-end tests: the real daemon
// serving view "e" (its own HOME, KORVA_ROOT and storage), the test server
// serving the VOB "/vob1" of served_vob.h, and the view filled as a client
// tool fills it: MkView, MountVob, SetConfigSpec (the element rules and
// the load rule "/vob1/sub") and Update, through the pipe client.
//
// A test acts out a client's step on the server through vob() (for
// instance `const std::string co = vob().checkout("/vob1/a.c");`), sends
// its request with call(), and asserts three places:
//   - the parsed reply: status(), message(), results();
//   - the kernel's invalidations since a mark, in order:
//       const size_t mark = journal_mark();
//       ... EXPECT_EQ((Lines{inval_obj(oid, CHECKOUT)}), invalidations_since(mark));
//   - the effect: files through the korva_fuse mount (mount_view() first;
//     it skips the test where FUSE cannot mount), the cleartext cache
//     (cached_versions()), the config spec (config_spec()) and the server's
//     log (gets(), view_updates()).
// Effects that come in the background are awaited with eventually() (at
// most 10 s); failures of view file calls are forced with inject(), faults
// of the server with vob().add_fault() or vob().add_rule_before(). Several
// steps taken at once on the server go in vob().batch(); a second VOB is
// vob().add_vob() and mount_vob().

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "agent_fixture.h"
#include "fuse_mount.h"
#include "lib/fetch/update_log_reader.h"
#include "pipe_client.h"
#include "served_vob.h"

namespace e2e {

using Lines = std::vector<std::string>;

// Whether `expected` occurs in `lines` in its order (other lines between).
inline bool in_order(const Lines& lines, const Lines& expected) {
    size_t next = 0;
    for (const std::string& line : lines)
        if (next < expected.size() && line == expected[next]) ++next;
    return next == expected.size();
}

// `lines` without the "inval_obj" lines of the VOB operation `op` (the
// namespace drops parent directories in the background with op 13 as it
// reads names again).
inline Lines without_op(const Lines& lines, unsigned op) {
    const std::string tail = " " + std::to_string(op);
    Lines kept;
    for (const std::string& line : lines)
        if (line.compare(0, 10, "inval_obj ") != 0 || line.size() < tail.size() ||
            line.compare(line.size() - tail.size(), tail.size(), tail) != 0)
            kept.push_back(line);
    return kept;
}

// The lines, each ended by a newline (for failure messages).
inline std::string joined(const Lines& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

class E2eElement : public AgentTest {
protected:
    // The view's name.
    static const char* const VIEW;
    // The element rules the view is given.
    static const char* const ELEMENT_RULES;

    // The codes of the VOB operations for which the kernel drops an object.
    enum Vob_Op : unsigned { CHECKOUT = 10, MKELEM = 11, CHECKIN = 13, RMNAME = 17, UNCHECKOUT = 27, RENAME = 66 };

    void SetUp() override;
    void TearDown() override;

    std::string tag() const { return std::string("tag-") + VIEW; }

    // The served VOB: its steps change what the server answers at once.
    Served_Vob& vob() { return *m_vob; }

    // ---- requests ----
    // Sends `request` on the bench's client; its reply, parsed.
    lib_test::Reply call(const std::string& request) { return client->call(request); }
    // A Checkout of `path` for the version `co` checked out on the server,
    // with the attributes `flags` on "co-flags".
    std::string checkout_request(const std::string& path, const std::string& co, const std::string& flags = "") {
        return make_request("Checkout", "co",
                            "<path>" + path + "</path><replica-uuid>" + vob().replica(path) +
                                "</replica-uuid><co-ver-oid>" + co + "</co-ver-oid><co-flags " + flags + "/>");
    }
    // A full Update; its log once its tail is written.
    update_log::Log update(const std::string& flags = "");
    // MountVob of `tag`; SetConfigSpec with the bench's element rules and
    // `load_rules` (one per line, without "load "). Their replies.
    lib_test::Reply mount_vob(const std::string& tag);
    lib_test::Reply set_config_spec(const Lines& load_rules);
    static std::string status(const lib_test::Reply& reply);
    static std::string message(const lib_test::Reply& reply);
    // The reply's result elements: its children after the status message.
    static std::vector<lib_test::Reply_Element> results(const lib_test::Reply& reply);

    // ---- the view through korva_fuse ----
    // Mounts the view's root (once). False when the test cannot go on: it
    // is skipped where FUSE cannot mount, failed when the mount does not
    // come up. Use: `if (!mount_view()) return;`.
    bool mount_view();
    // A view-relative path ("/vob1/a.c") through the mount.
    std::string in_view(const std::string& path) const;
    // What a program sees of a path through the mount.
    struct View_File {
        bool exists = false;
        char type = '?';        // 'f' file, 'd' directory, 'l' symbolic link
        std::string bytes;      // a file's contents
        std::string link;       // a link's text
        unsigned mode = 0;      // permission bits
        long long size = -1;
        long mtime = 0;
        long atime = 0;
    };
    View_File file(const std::string& path) const;
    // The names in a directory of the view, sorted.
    Lines listing(const std::string& dir) const;
    // The VOB's tree as the view shows it and as the server holds it, one
    // line per name ("path/" for a directory, "path = bytes", "path -> text"),
    // for comparing the two whole.
    std::string view_tree(const std::string& dir = Served_Vob::TAG) const;
    std::string vob_tree(const std::string& dir = Served_Vob::TAG) const;

    // ---- the kernel's journal ----
    // A mark: the journal's length now.
    size_t journal_mark() const { return journal_fields().size(); }
    // The "inval_obj <vob> <oid> <op>" and "inval_name <vob> <dir-oid>
    // <name>" lines journaled since `mark`, in order.
    Lines invalidations_since(size_t mark) const;
    // Those lines, as the served VOBs' objects make them.
    std::string inval_obj(const std::string& oid, unsigned op) const;
    std::string inval_name(const std::string& dir_oid, const std::string& name) const;

    // ---- the cleartext cache, the config spec ----
    // Every version cached, by oid, with its bytes.
    std::map<std::string, std::string> cached_versions() const;
    // The mode of version `oid`'s cache file (0 when it is not cached).
    unsigned cached_mode(const std::string& oid) const;
    std::string config_spec() const;

    // ---- the server's log ----
    // The GETs of version `oid`'s contents.
    size_t gets(const std::string& oid);
    // The server's View_Update calls, in order.
    struct View_Update_Call {
        std::string view_gn;
        bool by_paths = false;
        Lines paths;                                 // the scopes' paths, or the paths
        std::map<std::string, std::string> scopes;   // a scope's path -> its id
    };
    std::vector<View_Update_Call> view_updates();

    // ---- forced failures, waits ----
    // Makes the next `count` calls `call` ("fuse_read", "fuse_write",
    // "fuse_unlink", "fuse_rename", "fuse_setattr", or a kernel call) answer `result`
    // ("errno=N" or a status).
    void inject(const std::string& call, const std::string& result, int count = 1);
    // Polls `condition` until it holds, at most 10 s; whether it held.
    static bool eventually(const std::function<bool()>& condition);

    // The daemon's settings file (HOME/ostrel.conf, "key=value" lines),
    // written before it starts when a test's constructor sets it.
    std::string agent_settings;

    std::unique_ptr<Process> agent;
    std::unique_ptr<PipeClient> client;
    std::unique_ptr<Fuse_Mount> mount;
    // The update that filled the view.
    update_log::Log filled;

private:
    std::unique_ptr<Served_Vob> m_vob;
    unsigned m_updates = 0;
};

} // namespace e2e
