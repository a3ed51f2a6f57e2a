#pragma once
// The served view of the fuzz targets that reach the namespace: the tree of
// NsTreeTest (a real view database and namespace cache, names answered by
// the scripted server) in a view registered with the simulated kernel and
// installed, "/vobs/a" mounted. Unlike NsViewTest's, the simulated kernel's
// root is one for the whole run (the kernel keeps descriptors of each root
// it has seen), so a target may make a view for every input.
//
// Files go to memory where /dev/shm is writable, GoogleTest is initialised
// for the checks that use its assertions, and the messages of the run go
// nowhere.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lib/ns/ns_test_support.h"
#include "platform/imsg/imsg.h"
#include "platform/korva/korva_control.h"

namespace ns_test {

class Fuzz_Served_View final : public NsTreeTest {
public:
    static constexpr const char* TAG = "fuzz_view";
    static constexpr const char* UUID = "0a1b2c3d-4e5f-4617-8899-aabbccddeeff";

    void TestBody() override {}

    // Once per process, before the first view.
    static void prepare_process() {
        if (::access("/dev/shm", W_OK) == 0) setenv("TMPDIR", "/dev/shm", 1);
        int argc = 1;
        char name[] = "fuzz";
        char* argv[] = {name, nullptr};
        ::testing::InitGoogleTest(&argc, argv);
        imsg_proc_t procs[IMSG_NUM_KINDS];
        for (imsg_proc_t& proc : procs) proc = [](void*, const char*) {};
        imsg_set_redirect_procs(procs, IMSG_NUM_KINDS, nullptr);
        static lib_test::TempHome* const kernel_home = new lib_test::TempHome;
        korva_root() = kernel_home->path() + "/korva";
    }

    void start() {
        NsTreeTest::SetUp();
        setenv("KORVA_ROOT", korva_root().c_str(), 1);
        korva::ViewEntry entry;
        entry.tag = TAG;
        entry.uuid = UUID;
        entry.storage_user = entry.storage_kernel = entry.remote_path = storage;
        entry.host = "host";
        if (kernel().registerView(entry).status != 0) std::abort();
        m_handler.reset(OstrelAgent_View_Handler::get_instance(storage));
        OstrelAgent_View_Handler::set_view(OstrelAgent_View::get_view_from_list(
            storage, home.path() + "/cache", UUID, TAG, "transparent", "automatic", 0));
        mount_vob("/vobs/a", vob_uuid);
    }

    void stop() {
        forget_mounted_vobs();
        m_handler.reset();
        kernel().unregisterView(TAG);
        NsTreeTest::TearDown();
    }

    const std::string& storage_path() const { return storage; }

    // Background work the operations queued is dropped: nobody runs it.
    static void drop_queued() { pool()->cancel_all(); }

private:
    static std::string& korva_root() {
        static std::string root;
        return root;
    }
    static korva::Control kernel() { return korva::Control(korva::Root(korva_root())); }

    std::unique_ptr<OstrelAgent_View_Handler> m_handler;
};

} // namespace ns_test
