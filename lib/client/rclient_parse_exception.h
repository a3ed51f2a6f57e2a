#pragma once
// What the reply parser throws. Each command's reply reader catches them;
// nothing outside the remote client sees them.

#include "lib/core/ostrelagent_status.h"

class RClient_Parse_Exception {
public:
    explicit RClient_Parse_Exception(int code) : m_code(code) {}
    virtual ~RClient_Parse_Exception() = default;

    int get_code() const { return m_code; }

private:
    int m_code;
};

// The reply breaks the multipart format (30007).
class RClient_Format_Error_Exception : public RClient_Parse_Exception {
public:
    RClient_Format_Error_Exception()
        : RClient_Parse_Exception(OstrelAgent_Status::RC_MALFORMED_REPLY) {}
};

// The reply's data ends inside a line (30006): more may still arrive.
class RClient_Premature_EOF_Exception : public RClient_Parse_Exception {
public:
    RClient_Premature_EOF_Exception()
        : RClient_Parse_Exception(OstrelAgent_Status::RC_PREMATURE_EOF) {}
};

// A reply part lacks an item the command needs, or holds a bad one (30009).
class RClient_Malformed_Response_Exception : public RClient_Parse_Exception {
public:
    RClient_Malformed_Response_Exception()
        : RClient_Parse_Exception(OstrelAgent_Status::RC_BAD_REPLY_ITEM) {}
};

// Thrown by an update listener to end the update: the stream is read no
// further and the command's call status becomes 30013, whatever the code.
class RClient_Listener_Exception : public RClient_Parse_Exception {
public:
    explicit RClient_Listener_Exception(int code = OstrelAgent_Status::RC_LISTENER_STOPPED)
        : RClient_Parse_Exception(code) {}
};
