#pragma once
// What a view update hands its stream to, while the reply streams in: the
// operation, its load scopes and VOBs (each opened and closed), and the
// objects to load or unload. Each call returns true to go on receiving
// calls, false to receive none further from this update (the stream is
// still read to its end); throwing RClient_Listener_Exception ends the
// update at once. Calls come on the thread that runs the command, in
// stream order; the arguments live for the one call.

#include <string>

#include "lib/client/rclient_parse_exception.h"
#include "platform/qel/qel.h"
#include "xdr/ostrelxdr_blob.h"

class RClient_Update_Listener {
public:
    virtual ~RClient_Update_Listener() = default;

    // The update's operation generation number.
    virtual bool begin_operation(unsigned int operation_gn) = 0;
    virtual bool begin_scope(const ostrel_scope& scope) = 0;
    virtual bool begin_vob(const qel_uuid_s& replica, const qel_oid_s& family) = 0;
    // An object whose version is loaded (current version), with its
    // attributes and its element's. The path is the object's in the view,
    // with "/" between names.
    virtual bool update_object(const qel_uuid_s& replica, const qel_oid_s& parent, const std::string& path,
                               const std::string& previous_version, const std::string& current_version,
                               const ostrel_vstat& object, const ostrel_vstat& element) = 0;
    // An object whose version is no longer loaded.
    virtual bool unload_object(const qel_uuid_s& replica, const qel_oid_s& parent, const std::string& path,
                               const qel_oid_s& object) = 0;
    virtual bool end_scope() = 0;
    virtual bool end_vob() = 0;
    virtual bool end_operation() = 0;
    // Every part received so far has been passed on: the next call may
    // come only after a wait for the server. Also after a call threw.
    virtual void end_of_input() {}
    // The transfer is over and every part was passed on: on return the
    // listener is done with all of them. May throw as the other calls do.
    virtual void end_of_stream() {}
};
