#pragma once
// The process's one view for tests of code that reaches the view through the
// view handler (which takes one view per process): a test environment that
// makes a view in a private $HOME, registers it with the simulated kernel
// under a private $KORVA_ROOT, installs it, and removes it all at the end.
//
// Use: `view_test::install_view("tessel")` once at namespace scope of a test
// program; tests reach it through view_test::installed().

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lib/core/ostrelagent_config.h"
#include "lib/core/ostrelagent_mutex_guard.h"
#include "lib/core/ostrelagent_server.h"
#include "lib/lib_test_support.h"
#include "lib/view/ostrelagent_view.h"
#include "lib/view/ostrelagent_view_handler.h"
#include "platform/korva/korva_journal.h"
#include "platform/korva/korva_root.h"

namespace view_test {

class Installed_View : public ::testing::Environment {
public:
    static constexpr const char* VIEW_UUID = "0b1c2d3e-4f50-4617-8899-aabbccddeeff";
    static constexpr const char* VIEW_TAG = "installed_view";

    explicit Installed_View(std::string view_type) : m_view_type(std::move(view_type)) {}

    void SetUp() override {
        m_home.reset(new lib_test::TempHome);
        m_cwd.reset(new lib_test::KeepWorkingDirectory);
        korva_root = m_home->path() + "/korva";
        setenv("KORVA_ROOT", korva_root.c_str(), 1);
        storage = m_home->path() + "/views/v.vws";
        OstrelAgent_Server::g_server_url = "https://server.invalid/ostrel";
        m_handler = OstrelAgent_View_Handler::get_instance(storage);
        view = OstrelAgent_View::get_view_from_list(storage, m_home->path() + "/cache", VIEW_UUID, VIEW_TAG,
                                                    "transparent", m_view_type, 0);
        ASSERT_NE(view, nullptr);
        ASSERT_EQ(view->create(), 0) << view->get_status_msg();
        OstrelAgent_View_Handler::set_view(view);
        ASSERT_EQ(OstrelAgent_View_Handler::get_view(), view);
    }

    void TearDown() override {
        if (view != nullptr) view->unregister_once();
        delete m_handler; // and the view with it
        view = nullptr;
        m_cwd.reset();
        m_home.reset();
        unsetenv("KORVA_ROOT");
    }

    // Forgets every VOB of the mounted-VOB registry (the kernel keeps what
    // it has mounted).
    static void clear_registry() {
        std::vector<VOB_mount_info> registered;
        {
            OstrelAgent_Mutex_Guard guard(OstrelAgent_Config::g_config_lock);
            for (const auto& entry : OstrelAgent_Config::g_mounted_vobs) registered.push_back(entry.second);
        }
        for (VOB_mount_info info : registered) {
            info.mounted = 0;
            OstrelAgent_Config::get_instance()->set_mount_state(info);
        }
    }

    std::string file(const std::string& name) const { return storage + "/" + name; }
    // The simulated kernel's calls so far, each as its name and arguments.
    std::vector<std::vector<std::string>> journal() const { return korva::Journal(korva::Root(korva_root)).read(); }
    // The calls after the first `from`, those named `call` alone.
    std::vector<std::vector<std::string>> calls(const std::string& call, size_t from = 0) const {
        std::vector<std::vector<std::string>> found;
        const std::vector<std::vector<std::string>> all = journal();
        for (size_t i = from; i < all.size(); ++i)
            if (!all[i].empty() && all[i][0] == call) found.push_back(all[i]);
        return found;
    }
    // Forces the next `count` results of the kernel call `call`.
    void inject(const std::string& call, int result, int count = 1) const {
        lib_test::write_file(korva_root + "/inject",
                             call + " " + std::to_string(result) + " " + std::to_string(count) + "\n");
    }

    OstrelAgent_View* view = nullptr;
    std::string storage;
    std::string korva_root;

private:
    std::string m_view_type;
    std::unique_ptr<lib_test::TempHome> m_home;
    std::unique_ptr<lib_test::KeepWorkingDirectory> m_cwd;
    OstrelAgent_View_Handler* m_handler = nullptr;
};

inline Installed_View*& installed_environment() {
    static Installed_View* environment = nullptr;
    return environment;
}

// Registers the environment (gtest owns it); returns it.
inline Installed_View* install_view(const std::string& view_type) {
    installed_environment() = new Installed_View(view_type);
    ::testing::AddGlobalTestEnvironment(installed_environment());
    return installed_environment();
}

inline Installed_View& installed() { return *installed_environment(); }

} // namespace view_test
