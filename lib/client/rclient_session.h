#pragma once
// The process's session with the remote server, as far as the daemon's
// frame uses it: the session singleton, the release of its pooled transfer
// handles at exit, and the remote client's version line.
//
// The remote client itself (login, commands, the handle pool) comes later;
// until then the session holds no handles and the first use only
// initialises the transfer library, which the exit path shuts down again.

#include "platform/norvanethread/norvanethread.h"

class RClient_Session {
public:
    // The session, made on first use under the session lock.
    static RClient_Session* get_session();

    RClient_Session(const RClient_Session&) = delete;
    RClient_Session& operator=(const RClient_Session&) = delete;

    // Drops every pooled transfer handle; the session stays usable.
    void flush_curl_handles();

private:
    RClient_Session();

    norvanethread_mutex_t m_mutex;

    static RClient_Session* g_session;
    static norvanethread_mutex_t g_session_lock;
};

// The remote client's version line through the message library (kind 0), or
// into `buf` (IMSG_MAX_TEXT bytes at most).
void librclient_print_verid();
int librclient_sprintf_verid(char* buf);
