#pragma once
// Applies the server's stream of a surgical update (an update of chosen
// paths, not of load scopes) to the view database: each loaded object is
// written under its parent directory version, its stale copies dropped from
// the namespace cache and the kernel, and a file version's cleartext fetched
// in the background for the update. The end of the stream ends the load of
// the update's scope.
//
// A surgical stream holds objects only: a VOB or scope bracket, an unload,
// or an object whose parent is the scope's VOB root ends the delivery of the
// rest of the stream (what was applied stays). A failure of one object is
// recorded and the stream goes on; the listener keeps the first failure's
// status and every failure's text, for the update to report.
//
// Calls come on the thread that runs the update's remote command; each
// view-database call is a transaction of its own.

#include <memory>
#include <string>

#include "lib/client/rclient_update_listener.h"
#include "platform/qel/qel.h"
#include "xdr/ostrelxdr_blob.h"

class OstrelAgent_KORVA_Ioctl;
class OstrelAgent_Fetch_Owner;
class OstrelAgent_View_Base;

class OstrelAgent_Surgical_Listener : public RClient_Update_Listener {
public:
    // `view` and `update` are not owned; `scope` is the load scope whose
    // load the stream's end ends.
    OstrelAgent_Surgical_Listener(OstrelAgent_View_Base* view, OstrelAgent_Fetch_Owner* update, const ostrel_scope& scope);
    ~OstrelAgent_Surgical_Listener() override;

    OstrelAgent_Surgical_Listener(const OstrelAgent_Surgical_Listener&) = delete;
    OstrelAgent_Surgical_Listener& operator=(const OstrelAgent_Surgical_Listener&) = delete;

    bool begin_operation(unsigned int gn) override;
    bool begin_scope(const ostrel_scope& scope) override;
    bool begin_vob(const qel_uuid_s& replica, const qel_oid_s& family) override;
    bool update_object(const qel_uuid_s& replica, const qel_oid_s& parent, const std::string& path,
                       const std::string& previous_version, const std::string& new_version,
                       const ostrel_vstat& object, const ostrel_vstat& element) override;
    bool unload_object(const qel_uuid_s& replica, const qel_oid_s& parent, const std::string& path,
                       const qel_oid_s& old_object) override;
    bool end_scope() override;
    bool end_vob() override;
    bool end_operation() override;

    // The first failure's status (0 when every object was applied) and the
    // texts of all failures, in stream order.
    int get_status() const { return m_status; }
    const std::string& get_message() const { return m_message; }

private:
    void fail(int status) {
        if (m_status == 0) m_status = status;
    }

    int m_status = 0;
    std::string m_message;
    OstrelAgent_View_Base* m_view;
    OstrelAgent_Fetch_Owner* m_update;
    ostrel_scope m_scope;
    std::unique_ptr<OstrelAgent_KORVA_Ioctl> m_ioctl;
};
