#pragma once
// Restore: repairs a view whose local state no longer matches the server's.
// The server must be the master of the view's state; a restore with the
// client as master is refused (20042).
//
// Without repair paths the whole view is restored on this thread, holding
// the view's update slot (a busy slot refuses at once with 20044): the
// kernel's, the namespace cache's and the view database's copies of the
// view's names are dropped, the automatic load scope and the view's
// generation number start again, the config spec is taken from the server
// (its load scopes frozen, under the server's ids) and stored, and a full
// update from that generation runs; the reply waits for the cleartext
// fetches that the run queued. With repair paths each path is repaired
// alone: its cached name (or root) dropped, the path resolved again, the
// directory that it names or that holds it read again, and a hijacked
// file there treated as the request asks. A failed path does not stop the
// next; any failure makes the reply 20001 with every failed path's text.
//
// Request: root "Restore" ("version", "tx-id" required), an optional
// "restore-flags" with "hijack-treatment" ("keep", "overwrite", "rename"),
// "ptime" ("true" sets it) and "master" ("server" or "client", required
// with the flags), and an optional "repair-paths" whose "path" children
// each hold a path below the view root without the leading "/". Reply: the
// envelope and always "log-file", the restore log's path (empty without a
// log). The log has a restore head (one "RestorePath:" per repair path, or
// the view root) and tail.

#include <memory>
#include <string>
#include <vector>

#include "lib/requests/ostrelagent_update.h"

class OstrelAgent_Metadata;

// Holds the view's update slot through a placeholder update while a whole
// view is restored: nothing else may change the view's content meanwhile.
// The slot is released (when the placeholder holds it) at destruction.
class OstrelAgent_ConfigSpec_Lock {
public:
    OstrelAgent_ConfigSpec_Lock();
    ~OstrelAgent_ConfigSpec_Lock();
    OstrelAgent_ConfigSpec_Lock(const OstrelAgent_ConfigSpec_Lock&) = delete;
    OstrelAgent_ConfigSpec_Lock& operator=(const OstrelAgent_ConfigSpec_Lock&) = delete;

    // Claims the slot without waiting; false when another update holds it.
    bool claim();

private:
    std::unique_ptr<OstrelAgent_Update> m_update;
};

class OstrelAgent_Restore : public OstrelAgent_Update {
public:
    static constexpr const char* TAG_RESTORE_FLAGS = "restore-flags";
    static constexpr const char* ATTR_HIJACK_TREATMENT = "hijack-treatment";
    static constexpr const char* ATTR_PTIME = "ptime";
    static constexpr const char* ATTR_MASTER = "master";
    static constexpr const char* TAG_REPAIR_PATHS = "repair-paths";
    static constexpr const char* TAG_PATH = "path";
    static constexpr const char* TAG_LOG_FILE = "log-file";
    static constexpr const char* MASTER_SERVER = "server";
    static constexpr const char* MASTER_CLIENT = "client";
    static constexpr const char* WS_LOG_RESTORE_PATH_KEY = "RestorePath:";
    static constexpr const char* WS_LOG_RESTORE_MASTER_KEY = "RestoreMaster:";

    OstrelAgent_Restore(const std::string& request_text, NorvaneAutoPtr<NorvaneXmlDoc> document);
    ~OstrelAgent_Restore() override;

    void process_request() override;
    std::string get_response() override;

    void parse_request();
    // The client as master: refused.
    void restore_from_client();
    // The whole view, holding the update slot.
    void restore_from_server();
    // Takes the config spec from the server, its load scopes frozen, and
    // stores it as a restore.
    void restore_cs_from_server();
    // Repairs the path in the operation's path field.
    void restore_single_path();
    // Reads again the directory that a successful `walk` reached (`path`
    // for the message).
    void refill_readdir(const OstrelAgent_Metadata& walk, const std::string& path);
    void log_start_restore();
    void log_end_restore();

    int get_master() const { return m_master; }
    const std::vector<std::string>& get_repair_paths() const { return m_repair_paths; }

private:
    // Walks the parent directory of the path (a final link followed); a
    // failure's text is appended and its status kept.
    bool walk_parent(OstrelAgent_Metadata& walk);
    // Sets a hijacked file at the path aside as the treatment says and logs
    // it.
    void treat_hijacked_file(bool symlink);

    int m_master = 0;
    std::vector<std::string> m_repair_paths;
    bool m_head_written = false;
};
