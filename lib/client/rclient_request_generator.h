#pragma once
// One HTTP exchange of a remote command: a POST that sends the procedure
// name and its argument text as a multipart form, or a GET of a URL. Both
// carry the standard header lines, each a name and value with nothing
// between them:
//
//   Expect:                                  (no 100-continue wait)
//   Accept-Encoding:deflate
//   x-quelfo-rpc-name:<procedure>
//   User-Agent:OSTRELA / 1.0.0.0
//   Cookie:JSESSIONID=<j>;Session=<s>         when logged in, else:
//   x-quelfo-login-credentials:<Base64 of [domain\]user:password>
//   x-quelfo-login-primary-group:<group>
//   x-quelfo-login-groups-list:<groups>
//
// A line with nothing after its colon does not go out (the transfer library
// drops it), so an empty procedure name or group sends no such header.
//
// A generator serves one attempt of one command, on the command's thread,
// and owns the attempt's HTTP client. The session's values are each copied
// under the session's mutex; no lock is held across the transfer.

#include <list>
#include <memory>
#include <string>

#include "lib/client/http_client_base.h"
#include "lib/client/rclient_session.h"

class RClient_Request_Generator {
public:
    // `cb_data`: the command's RClient_CB; `headers`: the command's list
    // that receives the reply's header lines (not owned).
    RClient_Request_Generator(void* cb_data, std::list<std::string>* headers);
    virtual ~RClient_Request_Generator();

    RClient_Request_Generator(const RClient_Request_Generator&) = delete;
    RClient_Request_Generator& operator=(const RClient_Request_Generator&) = delete;

    // Runs the exchange: 0 or a transport status (30001 to 30004; see
    // Http_Client_Base). On failure the client's text is appended to the
    // error text.
    virtual int send_request(std::string& rpc_name, std::string& args) = 0;

    std::list<std::string>* get_response_headers() const;
    const std::string& get_error_text() const { return m_error_text; }
    // 1 once the transfer has returned (see Http_Client_Base).
    int get_performed() const;

protected:
    // Makes the attempt's HTTP client for `url` with the session's keystore.
    template <typename Client>
    void make_http_client(const std::string& url) {
        RClient_Session* session = RClient_Session::get_session();
        std::string keystore_path;
        std::string keystore_password;
        session->get_keystore(keystore_path, keystore_password);
        m_http_client.reset(new Client(url, session, keystore_path, keystore_password, m_cb_data,
                                       m_response_headers));
    }
    // Prepares the client (init) and adds the standard header lines: 0, or
    // the failed preparation's status. Nothing is sent then.
    int prepare(const std::string& rpc_name);
    // Runs the transfer: 0 or its status.
    int perform();

    std::unique_ptr<Http_Client_Base> m_http_client;
    void* m_cb_data;
    std::list<std::string>* m_response_headers;
    std::string m_error_text;

private:
    void add_standard_headers(const std::string& rpc_name);
    // Keeps the client's error text of a failed step and returns `status`.
    int failed(int status);
};
