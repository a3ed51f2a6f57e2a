#pragma once
// A kernel request thread. It sits in the kernel's message call for the
// view, which carries the thread's previous reply down to the kernel and
// returns with the next file-system request; the thread decodes it, runs
// the handler of its call code and prepares the reply for its next call.
//
// The thread owns two message buffers that swap roles each turn: the one
// passed to the call holds the last reply and receives the next request,
// the other receives the reply to it. Nothing else is allocated per request
// but the handler object.
//
// The loop ends when the call itself fails (an interrupted call included),
// when the kernel answers 1046 (the view was unregistered), or when the
// agent exits (seen after a call returns; the request it brought is then
// left unanswered). Other kernel statuses are traced and the same buffer is
// passed again.

#include <rpc/xdr.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "lib/core/ostrelagent_request_thread.h"
#include "platform/korva/korva.h"

class OstrelAgent_KORVA_Request_Handler_Unix;
class OstrelAgent_Trace;
class OstrelAgent_Thread_Manager_Base;

class OstrelAgent_KORVA_Thread_Unix : public OstrelAgent_Request_Thread {
public:
    // Size of a message buffer.
    static const size_t BUFFER_SIZE = 8800;

    // A thread serving the view whose kernel tag is `view_tag`, ending when
    // `manager` exits. It opens its view-root handle here; a handle that
    // cannot be opened is reported and the thread runs all the same (its
    // first call then fails). `listener`, when given, is told when the loop
    // starts and ends (so that it can interrupt a call still waiting).
    OstrelAgent_KORVA_Thread_Unix(const std::string& view_tag, OstrelAgent_Thread_Manager_Base* manager,
                                  OstrelAgent_KORVA_Request_Handler_Unix* listener = nullptr);
    // Closes the view-root handle.
    ~OstrelAgent_KORVA_Thread_Unix() override;

    // The loop. The result of the call that ended it, or the errno value of
    // the kernel status that ended it (0 when the agent's exit did).
    int execute() override;

    // One turn's work: handles the request in the message buffer `request`
    // and writes the reply, header and body, into the message buffer
    // `reply`. The header's sizes are the kernel side's: a request body
    // longer than a message is not read (rpc_status 4, no body), and the
    // reply never gets more room than a message holds.
    static void handle_request(const OstrelAgent_Trace& loop_trace, unsigned char* request, unsigned char* reply);

private:
    // The loop proper, between the listener's start and end notices.
    int serve();

    std::string m_view_tag;
    OstrelAgent_Thread_Manager_Base* m_thread_manager;
    OstrelAgent_KORVA_Request_Handler_Unix* m_listener;
    alignas(8) unsigned char m_buffer_a[BUFFER_SIZE];
    alignas(8) unsigned char m_buffer_b[BUFFER_SIZE];
    korva_handle_t m_view_root;
};
