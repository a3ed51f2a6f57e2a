#pragma once
// The fixture of the tests that use a view through korva_fuse: the real
// daemon serves a new view, the test server's VOB is mounted in it, and
// korva_fuse mounts the view's root directory. Tests skip where FUSE
// cannot mount.

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "agent_fixture.h"
#include "fuse_mount.h"
#include "fuse_view.h"
#include "pipe_client.h"
#include "tools/korva_sim/kernel_side.h"

namespace e2e {

class E2eFuse : public AgentTest {
protected:
    void SetUp() override {
        AgentTest::SetUp();
        const std::string unusable = fuse_unusable();
        if (!unusable.empty()) GTEST_SKIP() << unusable;
    }
    void TearDown() override {
        mount.reset();
        agent.reset();
        AgentTest::TearDown();
    }

    std::string tag() const { return "tag-" + name; }
    std::string src() const { return korva_root + "/view/" + tag() + "/vobs/src"; }

    // Makes the view, mounts the server's VOB in it and the view's root
    // with korva_fuse; the test server answers by `rules`.
    void serve_and_mount(const std::string& rules = served_vob_rules(Vob())) {
        serve_with_vob(rules);
        if (HasFatalFailure()) return;
        start_mount();
    }
    // Makes the view and mounts the server's VOB in it, the view's root
    // not yet mounted.
    void serve_with_vob(const std::string& rules = served_vob_rules(Vob())) {
        server_rules = rules;
        agent = serve_new_view(name);
        std::unique_ptr<PipeClient> client = PipeClient::connect(storage(name), "mounter");
        ASSERT_TRUE(client);
        ASSERT_EQ(client->call(make_request("MountVob", "m", "<vob-tag mount-state=\"true\">" + Vob().tag +
                                                                 "</vob-tag>")).attrs["status-code"],
                  "0");
    }
    void start_view() {
        agent = start_with_request(storage(name), startview_request());
        const std::optional<std::string> reply = agent->read_framed_reply();
        ASSERT_TRUE(reply.has_value()) << agent->stderr_text(Millis(0));
        ASSERT_EQ(lib_test::read_reply(*reply).attrs["status-code"], "0") << *reply;
        ASSERT_TRUE(wait_until([&] { return is_fifo(listener_pipe(name)); }, kStartTimeout));
    }
    void start_mount() {
        // The last mount's clean-up takes away whatever is mounted on the
        // view's root: it is done before the new korva_fuse may mount there.
        mount.reset();
        mount.reset(new Fuse_Mount(KORVA_FUSE_PATH, korva_root, tag(), agent_env()));
        ASSERT_TRUE(mount->wait_mounted()) << mount->process().stderr_text(Millis(0));
    }
    void end_view() {
        std::unique_ptr<PipeClient> client = PipeClient::connect(storage(name), "ender");
        ASSERT_TRUE(client);
        EXPECT_EQ(client->call(make_request("EndView", "e")).attrs["status-code"], "0");
        EXPECT_EQ(agent->wait_exit(), std::optional<int>(0));
    }

    // Runs `script` with /bin/sh in `dir`: its standard output, and its
    // exit status through `status`.
    std::string sh(const std::string& dir, const std::string& script, std::optional<int>* status = nullptr) {
        Process shell("/bin/sh", {"-c", "cd '" + dir + "' && " + script});
        shell.close_stdin();
        std::optional<int> exited = shell.wait_exit();
        if (status != nullptr) {
            *status = exited;
        } else {
            EXPECT_EQ(exited, std::optional<int>(0)) << script << "\n" << shell.stderr_text();
        }
        return shell.stdout_text();
    }

    // Connects `kernel` as a kernel of the view and asks for the VOB's root.
    void vob_root(korva_sim_test::Kernel_Side& kernel, korva_sim::ordered_json* root) {
        ASSERT_EQ(0, kernel.connect(korva_root, tag(), uuid_for(name)));
        const Vob vob;
        *root = kernel.call({{"call", "root"}, {"replica_uuid", vob.replica}, {"family_oid", vob.family}});
        ASSERT_TRUE(korva_sim_test::replied(*root));
    }

    std::string name = "f";
    std::unique_ptr<Process> agent;
    std::unique_ptr<Fuse_Mount> mount;
};

} // namespace e2e
