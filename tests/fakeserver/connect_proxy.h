#pragma once
// Runs the tests' CONNECT proxy (connect_proxy.py) for a test: on a free
// port of 127.0.0.1, with the credentials it demands (none when the user is
// empty), its JSON log read back, stopped when the object goes away.

#include <sys/types.h>

#include <string>
#include <vector>

#include "fakeserver/json_value.h"

namespace fakeserver {

class Connect_Proxy {
public:
    Connect_Proxy(const std::string& user, const std::string& password);
    ~Connect_Proxy();

    Connect_Proxy(const Connect_Proxy&) = delete;
    Connect_Proxy& operator=(const Connect_Proxy&) = delete;

    bool ok() const { return m_port > 0; }
    const std::string& error() const { return m_error; }
    int port() const { return m_port; }
    // Every record of its log, in order ("connect" and "closed").
    std::vector<Json> log() const;

private:
    std::string m_dir;
    pid_t m_pid = -1;
    int m_port = 0;
    std::string m_error;
};

} // namespace fakeserver
