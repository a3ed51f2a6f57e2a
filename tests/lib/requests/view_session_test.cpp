// The view session operations in process, against a view registered with
// the simulated kernel: the config spec store (rules files and load-rule
// scopes, with the kernel told of removed scopes' roots), GetConfigSpec
// offline, MountVob's unmount side, Load's request check, SetCache's
// limits and its record in the metadata file, and Connect and Disconnect
// against a server that cannot be reached, with readers of the server
// settings on other threads (run under ThreadSanitizer too).

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "lib/core/ostrelagent_config.h"
#include "lib/core/ostrelagent_server.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/fetch/ostrelagent_configspec.h"
#include "lib/installed_view.h"
#include "lib/ns/ns_cache.h"
#include "lib/ns/ostrelagent_view_db.h"
#include "lib/ns/ostrelagent_view_db_root_dir.h"
#include "lib/ns/ostrelagent_view_db_version.h"
#include "lib/ostreladb/ostrel_db.h"
#include "lib/reply_test_support.h"
#include "lib/requests/ostrelagent_abstractop.h"
#include "lib/requests/ostrelagent_load.h"
#include "lib/requests/ostrelagent_mountvob.h"
#include "lib/requests/ostrelagent_setcache.h"

namespace {

namespace S = OstrelAgent_Status;
using lib_test::read_reply;
using lib_test::Reply;
using view_test::installed;
using lib_test::oid;
using lib_test::uuid;
using Calls = std::vector<std::vector<std::string>>;
using Names = std::vector<std::string>;

view_test::Installed_View* const environment = view_test::install_view("tessel");

const char* const REPLICA = "0a000000-0000-4000-8000-00000000000a";
const char* const FAMILY = "0f000000-0000-4000-8000-00000000000a";
const char* const DIR_VERSION = "0d000000-0000-4000-8000-000000000004";

ostrel_scope scope_of(const char* scope_oid, const char* pname) {
    ostrel_scope scope;
    std::memset(&scope, 0, sizeof scope);
    scope.scope_oid = oid(scope_oid);
    std::strcpy(scope.pname, pname);
    return scope;
}

Names names_of(const std::vector<ostrel_scope>& scopes) {
    Names names;
    for (const ostrel_scope& s : scopes) names.push_back(s.pname);
    return names;
}

// The names of the scopes of a list, sorted.
Names scopes(OstrelAgent_View_db::ScopeListType type) {
    std::vector<ostrel_scope> list;
    EXPECT_EQ(OstrelAgent_View_db::get_scopes(type, list), 0);
    Names names = names_of(list);
    std::sort(names.begin(), names.end());
    return names;
}

// Runs a request as a client's: dispatched, processed, its reply read;
// the operation is kept in `kept` when given.
Reply run(const std::string& request, int* status = nullptr,
          std::unique_ptr<OstrelAgent_AbstractOp>* kept = nullptr) {
    std::string text = request;
    std::string storage = installed().storage;
    int dispatched = -1;
    std::unique_ptr<OstrelAgent_AbstractOp> op(
        OstrelAgent_AbstractOp::create_xml_request_handler(text, storage, dispatched));
    EXPECT_EQ(dispatched, 0);
    if (!op) return Reply();
    op->process_request();
    if (status != nullptr) *status = op->get_status();
    Reply reply = read_reply(op->get_response());
    if (kept != nullptr) *kept = std::move(op);
    return reply;
}

std::string parse_error(const std::string& text) { return "Parse error in \"" + text + "\".\n"; }

class LibViewSession : public ::testing::Test {
protected:
    void SetUp() override {
        view_test::Installed_View::clear_registry();
        std::vector<ostrel_scope> all;
        ASSERT_EQ(OstrelAgent_View_db::get_scopes(OstrelAgent_View_db::ALL_LR_SCOPES, all), 0);
        for (const ostrel_scope& s : all) ASSERT_EQ(OstrelAgent_View_db::delete_lr_scope(s.scope_oid), 0);
        for (const char* name : {OstrelAgent_ConfigSpec::CS_FILE_NAME, OstrelAgent_ConfigSpec::CS_TESSEL_FILE_NAME})
            std::remove(installed().file(name).c_str());
        OstrelAgent_Server::g_online = 0;
    }

    // The VOB "/vobs/a" in the registry, with a tree the path walk finds in
    // the view database, loaded there as an update loads what the server
    // sends: its root directory, listed whole, and below it "dir" (version
    // DIR_VERSION).
    void load_vob() {
        VOB_mount_info vob;
        vob.vob_tag = "/vobs/a";
        vob.replica_oid = oid(REPLICA);
        vob.family_oid = oid(FAMILY);
        vob.mounted = 1;
        vob.storage = "/store/a";
        ASSERT_EQ(OstrelAgent_Config::get_instance()->set_mount_state(vob), 0);
        const qel_uuid_s replica = uuid(REPLICA);
        unsigned gn = 0;
        ASSERT_EQ(OstrelAgent_View_db::view_gn(gn), 0);
        auto record = [](const char* id, vob_mtype_t mtype, const char* elem) {
            ostrel_vstat r{};
            r.vstat.mtype = mtype;
            r.vstat.obj_oid = oid(id);
            r.vstat.elem_oid = oid(elem);
            r.vstat.fstat.type = QEL_FTYPE_DIR;
            r.vstat.fstat.mode = 0755;
            return r;
        };
        const char* const root_elem = "0d000000-0000-4000-8000-000000000001";
        const char* const dir_elem = "0d000000-0000-4000-8000-000000000003";
        ostrel_vstat root = record("0d000000-0000-4000-8000-000000000002", 3, root_elem);
        ostrel_vstat root_element = record(root_elem, 2, root_elem);
        unsigned root_dbid = 0, elem_dbid = 0;
        OstrelAgent_View_db_root_dir root_dir(replica);
        ASSERT_EQ(root_dir.create(QEL_OID_NULL, gn, 0, root, root_element, root_dbid, elem_dbid), 0);
        ostrel_vstat dir = record(DIR_VERSION, 3, dir_elem);
        view_vstat dir_element = record(dir_elem, 2, dir_elem).vstat;
        unsigned dir_dbid = 0;
        ASSERT_EQ(OstrelAgent_View_db::add_db_entry(replica, 3, "dir", root_dbid, QEL_OID_NULL, gn, 3, false, dir,
                                                    dir_element, dir_dbid, elem_dbid, nullptr),
                  0);
        OstrelAgent_View_db_version listed(root_dbid, replica);
        ASSERT_EQ(listed.load_data(), 0);
        ASSERT_EQ(listed.set_readdir_done(true), 0);
    }

    OstrelAgent_ConfigSpec store{installed().storage};
};

TEST_F(LibViewSession, RulesFilesAreWrittenWholeAndReadBackLineByLine) {
    struct Case {
        const char* name;
        std::string file;   // written as it is ("" with `save`: through save_rules)
        std::string save;   // given to save_rules when `saved`
        bool saved;
        int status;
        std::string rules;
    };
    const Case cases[] = {
        {"saved rules", "element * A\r\nelement * B\n", "element * A\r\nelement * B", true, 0,
         "element * A\r\nelement * B"},
        {"saved with LF", "a\nb\n", "a\nb", true, 0, "a\r\nb"},
        {"blanks and CRs", "a\n\n \tb \r\n\n", "", false, 0, "a\r\nb"},
        {"no rule at all", "\n  \n\r\n", "", false, S::NOT_FOUND, ""},
        {"saved empty", "\n", "", true, S::NOT_FOUND, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.saved) {
            ASSERT_EQ(store.save_elem_rules(c.save), 0);
        } else {
            lib_test::write_file(installed().file(".config_spec"), c.file);
        }
        EXPECT_EQ(lib_test::read_file(installed().file(".config_spec")), c.file);
        std::string rules = c.status == 0 ? "" : "kept";
        EXPECT_EQ(store.get_cached_elem_rules(rules), c.status);
        EXPECT_EQ(rules, c.status == 0 ? c.rules : "kept");
    }
    std::string rules;
    EXPECT_EQ(store.get_cached_tessel_elem_rules(rules), S::NOT_FOUND); // no file

    // A file that cannot be replaced stays as it was, and no temporary file
    // is left: the error text is the catalog's.
    ASSERT_EQ(::mkdir(installed().file(".config_spec_tessel").c_str(), 0700), 0);
    EXPECT_EQ(store.save_tessel_elem_rules("x"), S::STORAGE_WRITE_FAILED);
    EXPECT_EQ(store.get_error_text(), "Error caching element rules.\n");
    EXPECT_EQ(::rmdir(installed().file(".config_spec_tessel").c_str()), 0);
    for (const std::string& name : lib_test::list_dir(installed().storage))
        EXPECT_EQ(name.find(".config_spec."), std::string::npos) << name;
}

TEST_F(LibViewSession, LoadRulesAreScopesAddedMarkedAndDeleted) {
    ASSERT_EQ(store.add_load_rules({"/vobs/a/src", "/vobs/a/doc"}), 0);
    EXPECT_EQ(scopes(OstrelAgent_View_db::LR_SCOPES).size(), 2u);

    // A rule without a scope is passed over; a marked one leaves the active
    // list until an update deletes it.
    EXPECT_EQ(store.delete_load_rules({"/vobs/none", "/vobs/a/doc"}, 1, 0), 0);
    EXPECT_EQ(scopes(OstrelAgent_View_db::LR_SCOPES), Names{"/vobs/a/src"});
    EXPECT_EQ(scopes(OstrelAgent_View_db::LR_SCOPES_FOR_DELETE), Names{"/vobs/a/doc"});
    std::vector<ostrel_scope> cached;
    EXPECT_EQ(store.get_cached_load_scopes(cached), 0);
    EXPECT_EQ(names_of(cached), Names{"/vobs/a/src"});

    // Deleted without invalidation: no walk, no kernel call.
    const size_t before = installed().journal().size();
    EXPECT_EQ(store.delete_load_rules({"/vobs/a/src", "/vobs/a/doc"}, 0, 0), 0);
    EXPECT_TRUE(scopes(OstrelAgent_View_db::ALL_LR_SCOPES).empty());
    EXPECT_EQ(installed().journal().size(), before);
    EXPECT_EQ(store.get_error_text(), "");
}

TEST_F(LibViewSession, ARemovedScopesRootIsFlushedFromTheKernel) {
    load_vob();
    const ostrel_scope dir = scope_of("51000000-0000-4000-8000-000000000001", "/vobs/a/dir");
    const ostrel_scope lost = scope_of("52000000-0000-4000-8000-000000000002", "/vobs/a/lost");
    const ostrel_scope fresh = scope_of("53000000-0000-4000-8000-000000000003", "/vobs/b");
    ASSERT_EQ(store.add_load_scopes({dir, lost}), 0);
    const std::vector<std::string> flushed = {"inval_obj", REPLICA, DIR_VERSION, "13"};

    // Given both ids, the root is flushed without a walk (the path would
    // not resolve).
    size_t before = installed().journal().size();
    const qel_oid_s given_oid = oid(DIR_VERSION);
    const qel_uuid_s given_replica = uuid(REPLICA);
    EXPECT_EQ(store.delete_one_load_scope(lost, 1, &given_oid, &given_replica), 0);
    EXPECT_EQ(installed().calls("inval_obj", before), Calls{flushed});

    // Without them the walk finds the root. A path that does not resolve
    // keeps its scope.
    ASSERT_EQ(store.add_load_scopes({lost}), 0);
    before = installed().journal().size();
    EXPECT_EQ(store.delete_one_load_scope(lost, 1, nullptr, nullptr), S::NOT_FOUND);
    EXPECT_EQ(scopes(OstrelAgent_View_db::ALL_LR_SCOPES), (Names{"/vobs/a/dir", "/vobs/a/lost"}));
    EXPECT_TRUE(installed().calls("inval_obj", before).empty());

    // Replacing re-creates what the database holds, each root flushed, and
    // adds a scope under an id it does not hold.
    EXPECT_EQ(store.delete_one_load_scope(lost, 0, nullptr, nullptr), 0);
    before = installed().journal().size();
    EXPECT_EQ(store.replace_load_scopes({dir, fresh}), 0);
    EXPECT_EQ(installed().calls("inval_obj", before), Calls{flushed});
    EXPECT_EQ(scopes(OstrelAgent_View_db::ALL_LR_SCOPES), (Names{"/vobs/a/dir", "/vobs/b"}));

    // A deletion that fails stops the replacement before anything is added.
    ASSERT_EQ(store.add_load_scopes({lost}), 0);
    const ostrel_scope other = scope_of("54000000-0000-4000-8000-000000000004", "/vobs/c");
    EXPECT_EQ(store.replace_load_scopes({lost, other}), S::NOT_FOUND);
    EXPECT_EQ(store.get_error_text(), "Failed to remove load rule \"/vobs/a/lost\"\n");
    EXPECT_EQ(scopes(OstrelAgent_View_db::ALL_LR_SCOPES), (Names{"/vobs/a/dir", "/vobs/a/lost", "/vobs/b"}));
}

TEST_F(LibViewSession, GetConfigSpecOfflineAnswersFromTheCache) {
    const std::string request = R"(<GetConfigSpec version="1" tx-id="t1"/>)";
    // A tessel view without its tessel rules file: the element rules are not
    // read either, and the status is 0.
    lib_test::write_file(installed().file(".config_spec"), "element * X\n");
    Reply reply = run(request);
    EXPECT_EQ(reply.attrs["status-code"], "0");
    EXPECT_EQ(reply.attrs["tx-id"], "t1");
    EXPECT_EQ(reply.children["element-rules"], "");
    EXPECT_EQ(reply.children["tessel-element-rules"], "");
    EXPECT_EQ(reply.children["load-rules"], "");
    EXPECT_EQ(reply.child_count, 3);

    // Both files: lines joined by CR LF, blank ones gone; the load rules
    // from the active scopes; "refresh" changes nothing.
    lib_test::write_file(installed().file(".config_spec"), "element * X\n\n  element * Y  \n");
    lib_test::write_file(installed().file(".config_spec_tessel"), "tessel a\n");
    ASSERT_EQ(store.add_load_rules({"/vobs/a", "/vobs/b"}), 0);
    ASSERT_EQ(store.delete_load_rules({"/vobs/b"}, 1, 0), 0);
    for (const char* r : {R"(<GetConfigSpec version="1" tx-id="t2"/>)",
                          R"(<GetConfigSpec version="1" tx-id="t2" refresh="true"/>)"}) {
        SCOPED_TRACE(r);
        const std::string raw = [&] {
            std::string text = r;
            std::string storage = installed().storage;
            int status = 0;
            std::unique_ptr<OstrelAgent_AbstractOp> op(
                OstrelAgent_AbstractOp::create_xml_request_handler(text, storage, status));
            op->process_request();
            return op->get_response();
        }();
        reply = read_reply(raw);
        EXPECT_EQ(reply.attrs["status-code"], "0");
        EXPECT_EQ(reply.children["tessel-element-rules"], "tessel a");
        EXPECT_EQ(reply.children["load-rules"], "load /vobs/a\n");
        // The CR travels escaped, so that the client's parser keeps it.
        EXPECT_NE(raw.find("element * X&#xD;\nelement * Y<"), std::string::npos) << raw;
    }

    // The envelope is checked first.
    int status = 0;
    reply = run(R"(<GetConfigSpec version="1"/>)", &status);
    EXPECT_EQ(status, S::MALFORMED_REQUEST);
    EXPECT_EQ(reply.attrs["status-code"], "20021");
    EXPECT_EQ(reply.child_count, 4); // status-message and the three rules elements
}

TEST_F(LibViewSession, MountVobUnmountsWhatTheRegistryHolds) {
    auto request = [](const std::string& tag, const char* state) {
        return "<MountVob version=\"1\" tx-id=\"m\"><vob-tag" +
               (state != nullptr ? std::string(" mount-state=\"") + state + "\"" : std::string()) + ">" + tag +
               "</vob-tag></MountVob>";
    };
    auto record = [](const std::string& tag, const char* family) {
        VOB_mount_info vob;
        vob.vob_tag = tag;
        vob.replica_oid = oid(REPLICA);
        if (family != nullptr) vob.family_oid = oid(family);
        vob.mounted = 1;
        vob.storage = "/store/x";
        return vob;
    };
    OstrelAgent_Config& config = *OstrelAgent_Config::get_instance();
    // Registered, and the kernel has it: unmounted by tag, the family id
    // travelling as the replica uuid; the record and its line go.
    ASSERT_EQ(OstrelAgent_Mountvob::do_mount(record("/vobs/a", FAMILY)), 0);
    size_t before = installed().journal().size();
    Reply reply = run(request("/vobs/a", "false"));
    EXPECT_EQ(reply.attrs["status-code"], "0");
    EXPECT_FALSE(reply.has_child("status-message"));
    EXPECT_EQ(installed().calls("umount_vob", before), (Calls{{"umount_vob", "/vobs/a", FAMILY}}));
    EXPECT_EQ(config.get_mount_state("/vobs/a"), 0);
    EXPECT_EQ(lib_test::read_file(installed().file(".mounted_vobs")), "");

    struct Case {
        const char* name;
        std::string request;
        const char* registered_family; // the tag's record beforehand (none: null)
        const char* inject;            // a forced unmount result
        int status;
        std::string message;
        int mounted_after;
    };
    const std::string busy = "Unable to unmount VOB \"/vobs/a\": " + std::string(qel_strerror(1088)) + ".\n";
    const Case cases[] = {
        {"not mounted, no state", request("/vobs/a", nullptr), nullptr, nullptr, S::ALREADY_IN_MOUNT_STATE,
         "/vobs/a is not currently mounted.\n", 0},
        {"mounted already", request("/vobs/a", "true"), FAMILY, nullptr, S::ALREADY_IN_MOUNT_STATE,
         "/vobs/a is already mounted.\n", 1},
        {"busy", request("/vobs/a", "false"), FAMILY, "1088", S::GENERAL_FAILURE, busy, 1},
        {"gone from the kernel", request("/vobs/a", "false"), FAMILY, "1072", 0, "", 0},
        {"no family id", request("/vobs/a", "false"), "00000000-0000-0000-0000-000000000000", nullptr,
         S::VOB_REPLICA_MISMATCH, "", 1},
        {"tag with =", request("/vobs/a=b", "false"), nullptr, nullptr, S::MALFORMED_REQUEST,
         "Parse error in \"" + request("/vobs/a=b", "false") + "\".\n", 0},
        {"empty tag", request("", "true"), nullptr, nullptr, S::MALFORMED_REQUEST,
         "Parse error in \"" + request("", "true") + "\".\n", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        view_test::Installed_View::clear_registry();
        if (c.registered_family != nullptr) {
            ASSERT_EQ(config.set_mount_state(record("/vobs/a", c.registered_family)), 0);
        }
        if (c.inject != nullptr) installed().inject("umount_vob", std::atoi(c.inject));
        int status = -1;
        reply = run(c.request, &status);
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(reply.attrs["status-code"], std::to_string(c.status));
        EXPECT_EQ(reply.children["status-message"], c.message);
        EXPECT_EQ(config.get_mount_state("/vobs/a"), c.mounted_after);
    }
}

TEST_F(LibViewSession, LoadChecksItsRequestAndChangesNothing) {
    using H = OstrelAgent_Util::HijackTreatment;
    struct Case {
        const char* request;
        int status;
        bool missing_path;  // "path" named as missing before the parse error
        int ptime;
        H treatment;
    };
    const Case cases[] = {
        {"<Load version=\"1\" tx-id=\"l\"><path>/vobs/a/dir/x.c</path>"
         "<load-flags hijack-treatment=\"overwrite\"/></Load>", 0, false, 0, OstrelAgent_Util::HIJACK_OVERWRITE},
        {"<Load version=\"1\" tx-id=\"l\"><load-flags hijack-treatment=\"rename\" ptime=\"true\"/>"
         "<path>/vobs/a</path></Load>", 0, false, 1, OstrelAgent_Util::HIJACK_RENAME},
        {"<Load version=\"1\" tx-id=\"l\"><path>/x</path><load-flags hijack-treatment=\"keep\" ptime=\"TRUE\"/>"
         "</Load>", 0, false, 0, OstrelAgent_Util::HIJACK_KEEP},
        {"<Load version=\"1\" tx-id=\"l\"><path>/vobs/a</path></Load>", S::MALFORMED_REQUEST, false, 0,
         OstrelAgent_Util::HIJACK_KEEP},
        {"<Load version=\"1\" tx-id=\"l\"><path>/vobs/a</path><load-flags ptime=\"true\"/></Load>",
         S::MALFORMED_REQUEST, false, 0, OstrelAgent_Util::HIJACK_KEEP},
        {"<Load version=\"1\" tx-id=\"l\"><path>/vobs/a</path><load-flags hijack-treatment=\"Keep\"/></Load>",
         S::MALFORMED_REQUEST, false, 0, OstrelAgent_Util::HIJACK_KEEP},
        {"<Load version=\"1\" tx-id=\"l\"><path>/vobs/a</path><load-flags hijack-treatment=\"\"/></Load>",
         S::MALFORMED_REQUEST, false, 0, OstrelAgent_Util::HIJACK_KEEP},
        {"<Load version=\"1\" tx-id=\"l\"><load-flags hijack-treatment=\"keep\"/></Load>", S::MALFORMED_REQUEST,
         true, 0, OstrelAgent_Util::HIJACK_KEEP},
        {"<Load version=\"1\" tx-id=\"l\"><path>vobs/a</path><load-flags hijack-treatment=\"keep\"/></Load>",
         S::MALFORMED_REQUEST, false, 0, OstrelAgent_Util::HIJACK_KEEP},
        {"<Load version=\"1\" tx-id=\"l\"><path>/vobs/../../v2/x</path><load-flags hijack-treatment=\"keep\"/>"
         "</Load>", S::MALFORMED_REQUEST, false, 0, OstrelAgent_Util::HIJACK_KEEP},
        {"<Load version=\"1\"><path>/vobs/a</path><load-flags hijack-treatment=\"keep\"/></Load>",
         S::MALFORMED_REQUEST, false, 0, OstrelAgent_Util::HIJACK_KEEP},
        {"<Load version=\"2\" tx-id=\"l\"><path>/vobs/a</path><load-flags hijack-treatment=\"keep\"/></Load>",
         S::UNSUPPORTED_VERSION, false, 0, OstrelAgent_Util::HIJACK_KEEP},
    };
    const std::string metadata = lib_test::read_file(installed().file(".ostrel"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        std::unique_ptr<OstrelAgent_AbstractOp> op;
        int status = -1;
        Reply reply = run(c.request, &status, &op);
        EXPECT_EQ(c.status, status);
        EXPECT_EQ("Load", reply.root);
        EXPECT_EQ(std::to_string(c.status), reply.attrs["status-code"]);
        // The tx-id is read once the version has passed.
        const bool txid = std::string(c.request).find("tx-id") != std::string::npos && c.status != S::UNSUPPORTED_VERSION;
        EXPECT_EQ(txid ? "l" : "", reply.attrs["tx-id"]);
        if (c.status == 0) {
            EXPECT_FALSE(reply.has_child("status-message"));
            auto* load = dynamic_cast<OstrelAgent_Load*>(op.get());
            ASSERT_NE(nullptr, load);
            EXPECT_EQ(c.ptime, load->get_ptime());
            EXPECT_EQ(c.treatment, load->get_hijack_treatment());
            continue;
        }
        const std::string expected =
            (c.missing_path ? "\"path\" not found in XML request.\n" : "") + parse_error(c.request);
        EXPECT_EQ(expected, reply.children["status-message"]);
    }
    EXPECT_EQ(metadata, lib_test::read_file(installed().file(".ostrel")));
}

TEST_F(LibViewSession, SetCacheResizesTheCachesWithinItsLimitsAndRecordsTheSize) {
    OstrelAgent_View* view = installed().view;
    std::string message;
    ASSERT_EQ(0, view->set_cache_size(8388608, message, true));
    auto request = [](const std::string& inner) {
        return "<SetCache version=\"1\" tx-id=\"s\">" + inner + "</SetCache>";
    };
    struct Case {
        std::string inner;
        int status;
        unsigned size;      // the size afterwards
        const char* text;   // the status message; null: the parse error
    };
    const char* const none = "";
    const Case cases[] = {
        {"<cache-size value=\"16777216\"/>", 0, 16777216, none},
        {"<cache-size value=\"4194304\"/>", 0, 4194304, none},
        {"<cache-size value=\"4194303\"/>", S::GENERAL_FAILURE, 4194304,
         "Unable to set cache size to 4194303: minimum size is 4194304\n"},
        {"<cache-size value=\"1000\"/>", S::GENERAL_FAILURE, 4194304,
         "Unable to set cache size to 1000: minimum size is 4194304\n"},
        {"<cache-size value=\"33554432\"/>", 0, 33554432, none},
        // Sizes that do not fit 32 bits are refused, not cut to their low
        // bits (4294967297 would be 1).
        {"<cache-size value=\"4294967297\"/>", S::MALFORMED_REQUEST, 33554432, nullptr},
        {"<cache-size value=\"18446744073709551617\"/>", S::MALFORMED_REQUEST, 33554432, nullptr},
        {"<cache-size value=\"\"/>", S::MALFORMED_REQUEST, 33554432, nullptr},
        {"<cache-size/>", S::MALFORMED_REQUEST, 33554432, nullptr},
        {"<cache-size value=\"-5\"/>", S::MALFORMED_REQUEST, 33554432, nullptr},
        {"<cache-size value=\" 5000000\"/>", S::MALFORMED_REQUEST, 33554432, nullptr},
        {"<cache-size value=\"16m\"/>", S::MALFORMED_REQUEST, 33554432, nullptr},
        {"<size value=\"16777216\"/>", S::MALFORMED_REQUEST, 33554432, nullptr},
        {"<cache-size value=\"4294967295\"/>", 0, 4294967295u, none},
        {"<cache-size value=\"8388608\"/>", 0, 8388608, none},
    };
    for (const Case& c : cases) {
        const std::string text = request(c.inner);
        SCOPED_TRACE(text);
        int status = -1;
        Reply reply = run(text, &status);
        EXPECT_EQ(c.status, status);
        EXPECT_EQ("SetCache", reply.root);
        EXPECT_EQ("s", reply.attrs["tx-id"]);
        EXPECT_EQ(std::to_string(c.status), reply.attrs["status-code"]);
        const std::string expected = c.text != nullptr ? c.text : parse_error(text);
        EXPECT_EQ(!expected.empty(), reply.has_child("status-message"));
        EXPECT_EQ(expected, reply.children["status-message"]);
        // The view, its namespace cache and its metadata file agree.
        EXPECT_EQ(c.size, view->get_cache_size());
        EXPECT_EQ(c.size, view_cache_size);
        EXPECT_NE(std::string::npos, lib_test::read_file(installed().file(".ostrel"))
                                         .find("\ncache-size=" + std::to_string(c.size) + "\n"));
    }

    // A size that cannot be recorded is reported.
    const std::string metadata = installed().file(".ostrel");
    const std::string saved = lib_test::read_file(metadata);
    ASSERT_EQ(0, std::rename(metadata.c_str(), (metadata + ".saved").c_str()));
    ASSERT_EQ(0, ::mkdir(metadata.c_str(), 0700));
    int status = -1;
    Reply reply = run(request("<cache-size value=\"16777216\"/>"), &status);
    EXPECT_EQ(S::STORAGE_WRITE_FAILED, status);
    EXPECT_EQ("Unable to save cache size to metadata file\n", reply.children["status-message"]);
    ASSERT_EQ(0, ::rmdir(metadata.c_str()));
    ASSERT_EQ(0, std::rename((metadata + ".saved").c_str(), metadata.c_str()));
    EXPECT_EQ(saved, lib_test::read_file(metadata));
    ASSERT_EQ(0, view->set_cache_size(8388608, message, true));
}

TEST_F(LibViewSession, ConnectInstallsItsSettingsWholeWhileOthersReadThem) {
    using Server = OstrelAgent_Server;
    // A server that refuses every connection at once.
    Server::g_server_url = "https://127.0.0.1:1/ostrel";
    Server::Session_Settings first;
    first.username = "u0", first.password = "p0", first.domain = "d0";
    Server::set_settings(first);

    // Readers on other threads (as update logs and requests read them) must
    // never see one Connect's user with another's password.
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::atomic<long> reads{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 2; ++r) {
        readers.emplace_back([&] {
            while (!done.load()) {
                const Server::Session_Settings s = Server::get_settings();
                if (s.username.substr(1) != s.password.substr(1) || s.username.substr(1) != s.domain.substr(1))
                    ++torn;
                Server::is_valid();
                ++reads;
            }
        });
    }
    for (int i = 1; i <= 10; ++i) {
        const std::string n = std::to_string(i);
        int status = -1;
        Reply reply = run("<Connect version=\"1\" tx-id=\"c" + n + "\"><server><username>u" + n +
                              "</username><password>p" + n + "</password><domain>d" + n + "</domain></server></Connect>",
                          &status);
        EXPECT_EQ(status, S::LOGIN_FAILED);
        EXPECT_EQ(reply.attrs["tx-id"], "c" + n);
        EXPECT_NE(reply.children["status-message"], "");
        EXPECT_EQ(Server::get_settings().username, "u" + n);
        EXPECT_EQ(Server::g_online, 0);
    }
    done = true;
    for (std::thread& reader : readers) reader.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_GT(reads.load(), 0);

    // Online already, a Connect changes nothing, not even the settings; a
    // Connect without "server" or tx-id is refused.
    Server::g_online = 1;
    int status = -1;
    Reply reply = run(R"(<Connect version="1" tx-id="x"><server><username>x</username></server></Connect>)", &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(Server::get_settings().username, "u10");
    reply = run(R"(<Connect version="1" tx-id="x"/>)", &status);
    EXPECT_EQ(status, S::BAD_SERVER_INFO);
    EXPECT_FALSE(reply.has_child("status-message"));
    reply = run(R"(<Connect version="1"><server/></Connect>)", &status);
    EXPECT_EQ(status, S::MALFORMED_REQUEST);
    EXPECT_EQ(Server::g_online, 1);

    // Disconnect: a logout that fails still leaves the view offline with
    // status 0; offline already, nothing happens.
    for (int online : {1, 0}) {
        Server::g_online = online;
        reply = run(R"(<Disconnect version="1" tx-id="d"/>)", &status);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(reply.attrs["status-code"], "0");
        EXPECT_EQ(Server::g_online, 0);
    }
}

} // namespace
