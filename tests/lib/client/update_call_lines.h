#pragma once
// An update listener that writes each call of a view update's stream as one
// line and hands it to note(), whose answer is the call's: what the tests
// of the stream and of its applier compare.

#include <string>

#include "lib/client/rclient_update_listener.h"
#include "lib/lib_test_support.h"

namespace client_test {

class Update_Call_Lines : public RClient_Update_Listener {
public:
    bool begin_operation(unsigned int gn) override { return note("begin " + std::to_string(gn)); }
    bool begin_scope(const ostrel_scope& scope) override {
        return note("scope " + lib_test::text(scope.scope_oid) + " " + scope.pname + " " + std::to_string(scope.gn));
    }
    bool begin_vob(const qel_uuid_s& replica, const qel_oid_s& family) override {
        return note("vob " + lib_test::text(replica) + " " + lib_test::text(family));
    }
    bool update_object(const qel_uuid_s& replica, const qel_oid_s& parent, const std::string& path,
                       const std::string& previous, const std::string& current, const ostrel_vstat& object,
                       const ostrel_vstat& element) override {
        return note("update " + path + " " + previous + ">" + current + " " + lib_test::text(replica) + " " +
                    lib_test::text(parent) + " obj " + lib_test::text(object.vstat.obj_oid) + " " + object.link_text +
                    " elem " + lib_test::text(element.vstat.obj_oid));
    }
    bool unload_object(const qel_uuid_s& replica, const qel_oid_s& parent, const std::string& path,
                       const qel_oid_s& object) override {
        return note("unload " + path + " " + lib_test::text(replica) + " " + lib_test::text(parent) + " " +
                    lib_test::text(object));
    }
    bool end_scope() override { return note("end scope"); }
    bool end_vob() override { return note("end vob"); }
    bool end_operation() override { return note("end operation"); }

protected:
    virtual bool note(const std::string& line) = 0;
};

} // namespace client_test
