#include "lib/client/rclient_request_args.h"

#include "lib/core/ostrelagent_trace.h"

namespace {
const char* const kClass = "RClient_Request_Args";
const char LF = '\n';
const char NAME_VALUE_SEP = '=';
const char* const ENCODED_LF = "%0A";
} // namespace

const char* const RClient_Request_Args::RPC = "rpc";
const char* const RClient_Request_Args::RPC_ARGS = "rpcargs";

bool RClient_Request_Args::check_arg_name(const std::string& name) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "check_arg_name");
    return !name.empty() && name.find(NAME_VALUE_SEP) == std::string::npos;
}

void RClient_Request_Args::add_arg(const std::string& name, const std::string& value) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "add_arg");
    if (!check_arg_name(name)) return;
    m_args << name << NAME_VALUE_SEP;
    size_t start = 0;
    for (size_t lf = value.find(LF); lf != std::string::npos; lf = value.find(LF, start)) {
        m_args.write(value.data() + start, static_cast<std::streamsize>(lf - start));
        m_args << ENCODED_LF;
        start = lf + 1;
    }
    m_args.write(value.data() + start, static_cast<std::streamsize>(value.size() - start));
    m_args << LF;
}

void RClient_Request_Args::add_arg(const std::string& name, const char* value) {
    add_arg(name, std::string(value != nullptr ? value : ""));
}

void RClient_Request_Args::add_arg(const std::string& name, int value) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "add_arg int");
    if (!check_arg_name(name)) return;
    m_args << name << NAME_VALUE_SEP << value << LF;
}

void RClient_Request_Args::add_arg(const std::string& name, long value) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "add_arg long");
    if (!check_arg_name(name)) return;
    m_args << name << NAME_VALUE_SEP << value << LF;
}

void RClient_Request_Args::add_arg(const std::string& name, bool value) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "add_arg bool");
    add_arg(name, value ? 1 : 0);
}

void RClient_Request_Args::add_arg(const std::string& name) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "add_arg(,)");
    if (!check_arg_name(name)) return;
    m_args << name << LF;
}

std::string RClient_Request_Args::get_args() const {
    return m_args.str();
}
