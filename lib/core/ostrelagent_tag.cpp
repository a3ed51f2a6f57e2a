#include "lib/core/ostrelagent_tag.h"

// These texts travel between the agent and its clients: never change them.

const std::string OstrelAgent_Tag::STATUS = "status";
const std::string OstrelAgent_Tag::STATUS_CODE = "status-code";
const std::string OstrelAgent_Tag::STATUS_MESSAGE = "status-message";

const std::string OstrelAgent_Tag::VERSION = "version";
const std::string OstrelAgent_Tag::TRANS_ID = "tx-id";

const std::string OstrelAgent_Tag::CHECKIN = "Checkin";
const std::string OstrelAgent_Tag::CHECKOUT = "Checkout";
const std::string OstrelAgent_Tag::CONNECT = "Connect";
const std::string OstrelAgent_Tag::DISCONNECT = "Disconnect";
const std::string OstrelAgent_Tag::ENDVIEW = "EndView";
const std::string OstrelAgent_Tag::GETAGGREGATEDSTATE = "GetAggregatedState";
const std::string OstrelAgent_Tag::GETCACHE = "GetCache";
const std::string OstrelAgent_Tag::GETCHILDREN = "GetChildren";
const std::string OstrelAgent_Tag::GETCONFIGSPEC = "GetConfigSpec";
const std::string OstrelAgent_Tag::GETMETADATA = "GetMetadata";
const std::string OstrelAgent_Tag::GETMOUNTEDVOBLIST = "GetMountedVobList";
const std::string OstrelAgent_Tag::HIJACK = "Hijack";
const std::string OstrelAgent_Tag::INVALIDATECHECKOUTS = "InvalidateCheckouts";
const std::string OstrelAgent_Tag::ISPROJECTVOB = "IsProjectVob";
const std::string OstrelAgent_Tag::ISUPDATEINPROGRESS = "IsUpdateInProgress";
const std::string OstrelAgent_Tag::ISVOBMOUNTED = "IsVobMounted";
const std::string OstrelAgent_Tag::ISVOBPUBLIC = "IsVobPublic";
const std::string OstrelAgent_Tag::LOAD = "Load";
const std::string OstrelAgent_Tag::MERGEDIRECTORY = "MergeDirectory";
const std::string OstrelAgent_Tag::MKELEM = "Mkelem";
const std::string OstrelAgent_Tag::MKVIEW = "MkView";
const std::string OstrelAgent_Tag::MOUNTVOB = "MountVob";
const std::string OstrelAgent_Tag::MOVE = "Move";
const std::string OstrelAgent_Tag::RMNAME = "Rmname";
const std::string OstrelAgent_Tag::RESTORE = "Restore";
const std::string OstrelAgent_Tag::SETCACHE = "SetCache";
const std::string OstrelAgent_Tag::SETCONFIGSPEC = "SetConfigSpec";
const std::string OstrelAgent_Tag::STARTVIEW = "StartView";
const std::string OstrelAgent_Tag::UNCHECKOUT = "Uncheckout";
const std::string OstrelAgent_Tag::UNHIJACK = "Unhijack";
const std::string OstrelAgent_Tag::UPDATE = "Update";

const std::string OstrelAgent_Tag::UNKNOWN = "Unknown";
const std::string OstrelAgent_Tag::XMLERROR = "XMLError";
const std::string OstrelAgent_Tag::SHUTDOWN_IN_PROGRESS = "ShutdownInProgress";

const std::string OstrelAgent_Tag::RESOURCE_TYPE = "type";
const std::string OstrelAgent_Tag::IS_TESSEL = "is-tessel";
const std::string OstrelAgent_Tag::CLTXT_CACHE = "shared-cltxt-path";
const std::string OstrelAgent_Tag::ONLINE = "online";
const std::string OstrelAgent_Tag::TRUE_STRING = "true";
const std::string OstrelAgent_Tag::FALSE_STRING = "false";

const std::string OstrelAgent_Tag::ACCESS_TIME = "access-time";
const std::string OstrelAgent_Tag::CANONICAL_PATH = "canonical-path";
const std::string OstrelAgent_Tag::CREATION_TIME = "creation-time";
const std::string OstrelAgent_Tag::ELEMENT_OID = "element-oid";
const std::string OstrelAgent_Tag::IS_CHECKED_OUT = "is-checked-out";
const std::string OstrelAgent_Tag::IS_DIRECTORY = "is-directory";
const std::string OstrelAgent_Tag::IS_ECLIPSED = "is-eclipsed";
const std::string OstrelAgent_Tag::IS_HIJACKED = "is-hijacked";
const std::string OstrelAgent_Tag::IS_SYMLINK = "is-symlink";
const std::string OstrelAgent_Tag::IS_VERSION_CONTROLLED = "is-version-controlled";
const std::string OstrelAgent_Tag::IS_VOB_ROOT = "is-vob-root";
const std::string OstrelAgent_Tag::LAST_MODIFIED_TIME = "last-modified-time";
const std::string OstrelAgent_Tag::MTYPE = "mtype";
const std::string OstrelAgent_Tag::OBJECT_OID = "object-oid";
const std::string OstrelAgent_Tag::PATH = "path";
const std::string OstrelAgent_Tag::SIZE = "size";
const std::string OstrelAgent_Tag::SYMLINK_TARGET = "symlink-target";
const std::string OstrelAgent_Tag::VERSION_NAME = "version-name";
const std::string OstrelAgent_Tag::VOB_TAG = "vob-tag";
