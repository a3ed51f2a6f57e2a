#pragma once
// The fixed texts of the remote server's wire protocol: request header names
// and values, the client's version string, login argument names and the
// item names of reply parts. Header names carry their colon: a header line
// is its name and value joined with nothing between them.

class RClient_Base {
public:
    RClient_Base() = delete;

    // Login arguments.
    static constexpr const char* MIN_PROTOCOL_VER = "min_clnt_proto_ver";
    static constexpr const char* MAX_PROTOCOL_VER = "max_clnt_proto_ver";

    // Request headers. "Expect:" without a value keeps the HTTP library from
    // waiting for a 100 Continue answer before it sends a POST body.
    static constexpr const char* HDR_EXPECT_CONTINUE = "Expect:";
    static constexpr const char* HDR_ACCEPT_ENCODING = "Accept-Encoding:";
    static constexpr const char* HDR_DEFLATE = "deflate";
    static constexpr const char* HDR_RPC_NAME = "x-quelfo-rpc-name:";
    static constexpr const char* HDR_USER_AGENT = "User-Agent:";
    static constexpr const char* VERSION_STRING = "OSTRELA / 1.0.0.0";
    static constexpr const char* HDR_COOKIE = "Cookie:";
    static constexpr const char* HDR_JSESSIONID = "JSESSIONID=";
    static constexpr const char* SEMICOLON = ";";
    static constexpr const char* HDR_SESSION = "Session=";
    static constexpr const char* HDR_LOGIN_PREFIX = "x-quelfo-login-";
    static constexpr const char* HDR_CREDENTIALS = "credentials:";
    static constexpr const char* HDR_PRIMARY_GROUP = "primary-group:";
    static constexpr const char* HDR_GROUPS_LIST = "groups-list:";
    static constexpr const char* HDR_CONTENT_TYPE = "Content-Type:";
    static constexpr const char* HDR_MULTIPART_FORMDATA = "multipart/form-data";

    // Reply part items.
    static constexpr const char* CONTENT_ID = "Content-ID";
    static constexpr const char* CONTENT_ID_STATUS = "Status";
    static constexpr const char* CONTENT_LENGTH = "Content-Length";
    static constexpr const char* STATUS = "Status";
    static constexpr const char* HAS_NON_OK_MSG = "HasNonOkMsg";
};
