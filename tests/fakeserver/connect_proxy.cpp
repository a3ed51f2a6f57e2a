#include "fakeserver/connect_proxy.h"

#include <chrono>

#include "fakeserver/script_process.h"
#include "lib/lib_test_support.h"

namespace fakeserver {

Connect_Proxy::Connect_Proxy(const std::string& user, const std::string& password) {
    m_dir = make_temp_dir("connect-proxy-");
    if (m_dir.empty()) {
        m_error = "cannot make a directory";
        return;
    }
    // -S: the standard library only (as the test server, fake_server.cpp).
    std::vector<std::string> args = {OSTREL_PYTHON, "-S", std::string(OSTREL_FAKESERVER_DIR) + "/connect_proxy.py",
                                     "--log", m_dir + "/log.jsonl", "--port-file", m_dir + "/port"};
    if (!user.empty()) args.insert(args.end(), {"--user", user, "--password", password});
    m_pid = spawn(args, m_dir + "/output");
    if (m_pid > 0) m_port = wait_for_port(m_pid, m_dir + "/port", std::chrono::milliseconds(60000));
    if (m_port == 0) m_error = "the proxy did not start:\n" + lib_test::read_file(m_dir + "/output");
}

Connect_Proxy::~Connect_Proxy() {
    stop_group(m_pid);
    if (!m_dir.empty()) lib_test::remove_tree(m_dir);
}

std::vector<Json> Connect_Proxy::log() const { return json_lines(m_dir + "/log.jsonl"); }

} // namespace fakeserver
