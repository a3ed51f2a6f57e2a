#pragma once
// The login procedure. The full constructor records the server, the user's
// credentials, the proxy settings and the TLS keystore in the session and
// marks it not logged in, so that the request carries the credentials; the
// reply's cookies (taken by the command base) log the session in. The
// constructor without arguments logs in again from what the session holds,
// after forgetting its cookies. A login never logs in again by itself.
//
// The keystore: "$HOME/.keystore_norvane_ostrel_<host>(<port>).der", the
// server's pinned public key, when it exists; else the common
// "$HOME/.keystore_norvane_ostrel.pem" of trusted certificates.

#include <string>

#include "lib/client/rclient_abstract_cmd.h"

class Login : public RClient_Abstract_Cmd {
public:
    Login(const std::string& user, const std::string& password, const std::string& domain,
          const std::string& primary_group, const std::string& groups, const std::string& url,
          const std::string& proxy_user, const std::string& proxy_password,
          const std::string& proxy_host, int proxy_port);
    Login();

    // The server part of a per-server keystore name, in place: "host(port)"
    // of an https URL ("host(443)" without a port, the colons of a
    // bracketed address as "+"); "" for a URL that is not https; unchanged
    // when it has no "//".
    static void trim_url_hostname(std::string& url);

    // "min_clnt_proto_ver=6", "max_clnt_proto_ver=6",
    // "clienttype=ClientType.UNKNOWN": never a credential.
    int marshal_request(RClient_Request_Args* args) override;
    int unmarshal_response() override;
};
