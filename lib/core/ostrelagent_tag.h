#pragma once
// The element and attribute names of the client request protocol: request
// and reply roots (one per operation), the names every reply carries and the
// metadata names that queries return. Request parsers, the dispatcher and
// the reply builders use these rather than literals. Names that only one
// operation uses belong to that operation.
//
// Names are case-sensitive: operation names are in mixed case exactly as
// below ("MkView" but "Mkelem"), the others in lower case with hyphens.
// The constants exist from static initialisation to process exit; code that
// runs after the static destructors (exit hooks) must not use them.

#include <string>

class OstrelAgent_Tag {
public:
    OstrelAgent_Tag() = delete;

    // Reply status.
    static const std::string STATUS;
    static const std::string STATUS_CODE;
    static const std::string STATUS_MESSAGE;

    // Request header attributes.
    static const std::string VERSION;
    static const std::string TRANS_ID;

    // Operation names: roots of requests and of their replies.
    static const std::string CHECKIN;
    static const std::string CHECKOUT;
    static const std::string CONNECT;
    static const std::string DISCONNECT;
    static const std::string ENDVIEW;
    static const std::string GETAGGREGATEDSTATE;
    static const std::string GETCACHE;
    static const std::string GETCHILDREN;
    static const std::string GETCONFIGSPEC;
    static const std::string GETMETADATA;
    static const std::string GETMOUNTEDVOBLIST;
    static const std::string HIJACK;
    static const std::string INVALIDATECHECKOUTS;
    static const std::string ISPROJECTVOB;
    static const std::string ISUPDATEINPROGRESS;
    static const std::string ISVOBMOUNTED;
    static const std::string ISVOBPUBLIC;
    static const std::string LOAD;
    static const std::string MERGEDIRECTORY;
    static const std::string MKELEM;
    static const std::string MKVIEW;
    static const std::string MOUNTVOB;
    static const std::string MOVE;
    static const std::string RMNAME;
    static const std::string RESTORE;
    static const std::string SETCACHE;
    static const std::string SETCONFIGSPEC;
    static const std::string STARTVIEW;
    static const std::string UNCHECKOUT;
    static const std::string UNHIJACK;
    static const std::string UPDATE;

    // Special reply roots: no such operation, unparsable request, and a
    // request cancelled by the shutdown.
    static const std::string UNKNOWN;
    static const std::string XMLERROR;
    static const std::string SHUTDOWN_IN_PROGRESS;

    // View and resource attributes.
    static const std::string RESOURCE_TYPE;
    static const std::string IS_TESSEL;
    static const std::string CLTXT_CACHE;
    static const std::string ONLINE;
    static const std::string TRUE_STRING;
    static const std::string FALSE_STRING;

    // Object metadata names; PATH is also the path element of requests.
    static const std::string ACCESS_TIME;
    static const std::string CANONICAL_PATH;
    static const std::string CREATION_TIME;
    static const std::string ELEMENT_OID;
    static const std::string IS_CHECKED_OUT;
    static const std::string IS_DIRECTORY;
    static const std::string IS_ECLIPSED;
    static const std::string IS_HIJACKED;
    static const std::string IS_SYMLINK;
    static const std::string IS_VERSION_CONTROLLED;
    static const std::string IS_VOB_ROOT;
    static const std::string LAST_MODIFIED_TIME;
    static const std::string MTYPE;
    static const std::string OBJECT_OID;
    static const std::string PATH;
    static const std::string SIZE;
    static const std::string SYMLINK_TARGET;
    static const std::string VERSION_NAME;
    static const std::string VOB_TAG;
};
