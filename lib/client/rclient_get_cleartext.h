#pragma once
// Downloads the contents ("cleartext") of one version into a file: a GET of
// the session's server URL followed by a suffix the caller builds
// ("/cltxt/<VOB uuid>/<version oid>/<text mode>"). The reply's
// "SyncElemData" part carries the contents, written to the output file
// piece by piece as they arrive, so a large file never sits in memory; its
// "Status" part the outcome.
//
// The command writes the file it is given (created, or truncated) and
// never removes it. The contents are whole only when check_rpc_status gives
// 0 and get_write_failure() is 0: a reply that ends inside the contents, or
// holds none while its status says 0, fails the call. So the caller writes
// to a temporary name and renames the file into place only on success, and
// removes it otherwise.

#include <cstdint>
#include <fstream>
#include <memory>
#include <string>

#include "lib/client/rclient_abstract_cmd.h"

class Get_ClearText : public RClient_Abstract_Cmd {
public:
    Get_ClearText(const std::string& url_suffix, const std::string& output_path);
    ~Get_ClearText() override;

    // No argument: a GET. 0.
    int marshal_request(RClient_Request_Args* args) override;
    int unmarshal_response() override;

    // After run(): 1 when the output file could not be created or written
    // (the reply was still read to its end), else 0.
    int get_write_failure() const { return m_write_failure; }

private:
    // The "SyncElemData" part, its items read: opens the file and writes
    // what has arrived of the body. 30006 while more of it is to come.
    int start_body();
    // Writes as much of the body as has arrived.
    void write_body();
    void close_output();

    std::string m_output_path;
    int m_writing = 0;                      // a body is started and not yet whole
    std::unique_ptr<std::ofstream> m_output;
    uint64_t m_remaining = 0;               // bytes of the body still to come
    int m_write_failure = 0;
    bool m_body_whole = false;              // a whole body was taken
};
