#pragma once
// The argument text of one remote procedure call, sent as the form field
// "rpcargs". One line per argument, each ended by a single line feed, in the
// order added: "name=value", or the name alone for a bare argument. A line
// feed inside a value is written as "%0A"; nothing else is escaped, so a
// value that already holds "%0A" reads back as a line feed on the server.
// A name that is empty or holds "=" is skipped without a trace of it.

#include <sstream>
#include <string>

class RClient_Request_Args {
public:
    // Form field names of a POST.
    static const char* const RPC;      // "rpc": the procedure name
    static const char* const RPC_ARGS; // "rpcargs": this text

    RClient_Request_Args() = default;
    virtual ~RClient_Request_Args() = default;

    RClient_Request_Args(const RClient_Request_Args&) = delete;
    RClient_Request_Args& operator=(const RClient_Request_Args&) = delete;

    // Whether `name` may name an argument: not empty, no "=".
    static bool check_arg_name(const std::string& name);

    void add_arg(const std::string& name, const std::string& value);
    // Kept apart from the bool form, which a literal would otherwise choose.
    void add_arg(const std::string& name, const char* value);
    void add_arg(const std::string& name, int value);
    void add_arg(const std::string& name, long value);
    // "1" or "0".
    void add_arg(const std::string& name, bool value);
    // A bare argument: the name alone.
    void add_arg(const std::string& name);

    // Everything added so far; the object keeps it.
    std::string get_args() const;

private:
    std::ostringstream m_args;
};
