#pragma once
// Ends the server session: a GET of the session's URL + "/logout". Once its
// reply has been read (to its end, or to where it turned out malformed),
// the session forgets its cookies and is no longer logged in; the server,
// credentials and keystore stay for a later login.

#include "lib/client/rclient_abstract_cmd.h"

class Logout : public RClient_Abstract_Cmd {
public:
    Logout();

    int marshal_request(RClient_Request_Args* args) override;
    int unmarshal_response() override;
};
