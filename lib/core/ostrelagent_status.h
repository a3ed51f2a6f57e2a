#pragma once
// Statuses that cross subsystems. A status is a signed 32-bit integer and 0
// is success. Base-library statuses (1001 and up) are turned into agent
// statuses by OstrelAgent_Util::qel_to_ostrel_status; the record engine keeps
// its negative codes to itself. The numbers travel in replies and logs, so
// they never change; the names below are only for reading the code.

namespace OstrelAgent_Status {

constexpr int SUCCESS = 0;

// Agent statuses, 20001-20059. Numbers missing from the list are never raised.
constexpr int GENERAL_FAILURE = 20001;           // any base status but 0, 1002, 1052; failed internal steps
constexpr int NOT_FOUND = 20002;                 // base 1002 and 1052; an ordinary miss for lookups
constexpr int OUT_OF_MEMORY = 20003;             // allocation failed, or a required part is missing
constexpr int MKDIR_FAILED = 20005;              // view storage, cleartext cache or pipe directory
constexpr int METADATA_PARSE_FAILED = 20006;     // view metadata file could not be parsed
constexpr int NS_CACHE_INIT_FAILED = 20007;      // name-space cache initialisation
constexpr int STORAGE_WRITE_FAILED = 20008;      // writing a file of the view storage
constexpr int INVALID_VIEW_UUID = 20009;         // bad view uuid or incomplete view metadata
constexpr int PIPE_FAILED = 20010;               // pipe() failed
constexpr int MKFIFO_FAILED = 20011;             // mkfifo() failed
constexpr int CONN_READ_FAILED = 20013;          // reading a connection request from the listener pipe
constexpr int REPLY_WRITE_FAILED = 20016;        // writing a reply to the client's response pipe
constexpr int CLIENT_PIPE_IO_FAILED = 20017;     // client pipe open, flags or read failed
constexpr int VIEW_EXISTS = 20018;               // the view to be made already exists
constexpr int NO_VIEW = 20019;                   // no view object, or view information missing
constexpr int UNKNOWN_OPERATION = 20020;         // the request names no protocol operation
constexpr int MALFORMED_REQUEST = 20021;         // a required element or attribute is missing or wrong
constexpr int BAD_SERVER_INFO = 20022;           // server information incomplete or invalid
constexpr int NO_VIEW_STORAGE = 20023;           // StartView: the view storage does not exist
constexpr int UNSUPPORTED_VERSION = 20024;       // protocol version not supported
constexpr int SHUTDOWN_IN_PROGRESS = 20026;      // EndView ran; cancelled requests answer with it
constexpr int KORVA_REQUEST_FAILED = 20027;      // reading or decoding a kernel request
constexpr int KORVA_REPLY_FAILED = 20028;        // sending a reply to a kernel request
constexpr int INTERNAL_ERROR = 20031;            // an inconsistency that should not occur
constexpr int ALREADY_IN_MOUNT_STATE = 20032;    // MountVob: nothing to do
constexpr int DISCONNECTED = 20033;              // the view is disconnected from the server
constexpr int LOGIN_FAILED = 20034;              // Connect: login to the server failed
constexpr int VOB_INFO_MISSING = 20035;          // MountVob: the server returned no VOB information
constexpr int VOB_REPLICA_MISMATCH = 20036;      // MountVob unmount: replica uuid not registered
constexpr int MOUNT_RECORD_FAILED = 20037;       // no kernel control object, or mount state not recorded
constexpr int EXIT_REQUESTED = 20038;            // the shutdown pipe became readable while waiting
constexpr int INPUT_TIMEOUT = 20039;             // timed out waiting for input
constexpr int SELECT_FAILED = 20040;             // waiting for input failed
constexpr int THREAD_START_FAILED = 20041;       // a worker thread was made but did not start
constexpr int RESTORE_NOT_PROVIDED = 20042;      // Restore from the client is not provided
constexpr int MOUNTED_VOB_FILE_FAILED = 20043;   // mounted-VOB file cannot be opened or read
constexpr int UPDATE_IN_PROGRESS = 20044;        // another view update holds the update slot
constexpr int VOBS_REGISTERED = 20044;           // a remount while VOBs are registered already
constexpr int MOUNTED_VOB_DECODE_FAILED = 20045; // a mounted-VOB line failed to decode
constexpr int VOB_ALREADY_MOUNTED = 20046;       // base 1067 from the kernel mount call
constexpr int VOB_NOT_MOUNTED = 20047;           // base 1072 from the kernel, or no VOB holds the path
constexpr int RPC_INCOMPLETE = 20048;            // remote command did not complete
constexpr int RPC_SERVER_FAILURE = 20049;        // the server reported a failure
constexpr int OPENDIR_FAILED = 20050;            // opening a directory to test emptiness
constexpr int CACHE_DIR_NOT_EMPTY = 20051;       // the new cleartext cache directory holds entries
constexpr int CACHE_DIR_NESTED = 20052;          // cleartext cache inside another cache location
constexpr int UPDATE_LOG_FAILED = 20053;         // creating the update log
constexpr int LOAD_RULE_COMMENT = 20054;         // a load rule holds a comment
constexpr int LOAD_RULE_OVERLAP = 20055;         // identical or nested load rules, or ".."
constexpr int METADATA_WALK_FAILED = 20056;      // path walk of a metadata lookup
constexpr int TRANSCODE_FAILED = 20057;          // request characters fail to transcode
constexpr int UPDATE_REFUSED_SHUTDOWN = 20058;   // update refused: the agent is shutting down
constexpr int WRONG_HOST = 20059;                // the view's host-name file names another host

// Remote-transport statuses, 30001-30013, raised by the remote server client.
constexpr int RC_HTTP_STATUS = 30001;        // HTTP status other than 200, 201, 401, 404; bad reply
constexpr int RC_UNAUTHORIZED = 30002;       // 401: log in again once and retry
constexpr int RC_TRANSFER_FAILED = 30003;    // the HTTP library failed
constexpr int RC_NOT_FOUND = 30004;          // 404
constexpr int RC_PREMATURE_EOF = 30006;      // reply data ended inside a line
constexpr int RC_MALFORMED_REPLY = 30007;    // malformed multipart reply
constexpr int RC_BAD_CONTENT_LENGTH = 30008; // a part's Content-Length is not a number
constexpr int RC_BAD_REPLY_ITEM = 30009;     // a required reply item is missing or bad
constexpr int RC_MARSHAL_FAILED = 30010;     // request arguments could not be marshalled
constexpr int RC_NO_MEMORY = 30011;          // no memory for a part body
constexpr int RC_LISTENER_STOPPED = 30013;   // the update listener failed while applying the stream

} // namespace OstrelAgent_Status
