#pragma once
// The remote client's message catalog. Messages are addressed by their
// 0-based position, never by their message number; format them with
// OstrelAgent_Util::format.

#include "platform/imsg/imsg.h"

// Catalog "client_lib", prefix "rclient", number 112, 19 texts.
extern const _imsg_message_table_t _rclient_client_lib_msg_table;

// Positions in the catalog.
namespace RClient_Msg {
constexpr int OPTION_FAILED = 0;         // code, library text, option number
constexpr int REQUEST_FAILED = 1;        // code, library text
constexpr int AUTHORIZATION_FAILED = 2;  // HTTP 401 and 403
constexpr int NOT_FOUND = 3;             // HTTP 404
constexpr int FORM_FAILED = 4;           // the POST's form fields
constexpr int VOB_FAMILY_NOT_FOUND = 5;  // VOB tag
constexpr int VOB_REPLICA_NOT_FOUND = 6; // VOB tag
constexpr int INVALID_VOB_OID = 7;       // oid text
constexpr int VOB_STORAGE_NOT_FOUND = 8; // VOB tag
constexpr int RPC_INCOMPLETE = 9;
constexpr int RPC_FAILED = 10;           // rpc name, call status, reply status, message
constexpr int RELOGIN_FAILED = 11;
constexpr int HTTP_STATUS = 12;          // HTTP status code
constexpr int TLS_SETUP_FAILED = 13;     // code, library text
constexpr int REPLY_CUT_SHORT = 14;
constexpr int REPLY_WITHOUT_STATUS = 15;
constexpr int REPLY_MALFORMED = 16;      // status
constexpr int REPLY_PART_TOO_LONG = 17;  // part name, length, limit (texts)
constexpr int REPLY_HELD_TOO_LONG = 18;  // limit (text)
} // namespace RClient_Msg
