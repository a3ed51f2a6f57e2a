#pragma once
// Sets the view's online flag for one scope of a test and puts the value it
// had back when the scope ends, so one test's offline case never leaks into
// the next.

#include "lib/core/ostrelagent_server.h"

namespace lib_test {

class Online_Scope {
public:
    explicit Online_Scope(int online) : m_saved(OstrelAgent_Server::g_online.exchange(online)) {}
    ~Online_Scope() { OstrelAgent_Server::g_online.store(m_saved); }
    Online_Scope(const Online_Scope&) = delete;
    Online_Scope& operator=(const Online_Scope&) = delete;

private:
    int m_saved;
};

} // namespace lib_test
