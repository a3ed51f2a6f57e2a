#pragma once
// The view's config spec as the client keeps it. The element rules live on
// the server and are cached in two rules files of the view storage,
// ".config_spec" and ".config_spec_tessel"; the load rules are the view
// database's load-rule scopes. One store serves one view storage: it reads
// and writes the rules files and adds, deletes and replaces scopes, asking
// the kernel file system and the namespace cache to forget a removed scope's
// root when told to.
//
// A rules file holds the rules text as it was given, and one "\n". It is
// read line by line: each line trimmed of blanks, tabs, CR and LF, empty
// lines dropped, the rest joined with "\r\n". A file is always replaced
// whole (temporary file, sync, rename), so a reader sees the old rules or
// the new ones.
//
// Failures return an agent status and put a catalog text in the store's
// error text (assigned by a rules file write, appended by the scope
// operations); the calling operation copies it into its reply. The list
// operations stop at the first failure and leave what was done in place.
// No lock of its own: the view database and the kernel calls serialise
// themselves, and callers that change scopes hold the view's update slot.

#include <string>
#include <vector>

#include "platform/qel/qel.h"
#include "xdr/ostrelxdr_blob.h"

class OstrelAgent_ConfigSpec {
public:
    static constexpr const char* CS_FILE_NAME = ".config_spec";
    static constexpr const char* CS_TESSEL_FILE_NAME = ".config_spec_tessel";
    static constexpr const char* CRLF = "\r\n";

    // The store of the view whose storage directory is `storage`.
    explicit OstrelAgent_ConfigSpec(const std::string& storage);
    virtual ~OstrelAgent_ConfigSpec();

    // Appends the rules of the file `file_name` to `rules`. 0; 20002 when
    // the file is missing or holds no rule; 20001 when reading failed.
    int get_rules(const std::string& file_name, std::string& rules);
    // Replaces the file `file_name` with `rules` and one "\n". 0, or 20008
    // with message 46 as the error text.
    int save_rules(const std::string& file_name, const std::string& rules);
    int get_cached_elem_rules(std::string& rules) { return get_rules(CS_FILE_NAME, rules); }
    int get_cached_tessel_elem_rules(std::string& rules) { return get_rules(CS_TESSEL_FILE_NAME, rules); }
    int save_elem_rules(const std::string& rules) { return save_rules(CS_FILE_NAME, rules); }
    int save_tessel_elem_rules(const std::string& rules) { return save_rules(CS_TESSEL_FILE_NAME, rules); }

    // Appends the load-rule scopes not marked removed, in the view
    // database's order.
    int get_cached_load_scopes(std::vector<ostrel_scope>& scopes);
    // Adds each scope under its own id, or a scope under a new id for each
    // rule; message 52 names the first that fails.
    int add_load_scopes(const std::vector<ostrel_scope>& scopes);
    int add_load_rules(const std::vector<std::string>& rules);
    // Deletes each scope (delete_one_load_scope without ids); message 53
    // names the first that fails.
    int delete_load_scopes(const std::vector<ostrel_scope>& scopes, int invalidate);
    // Each scope that the view database holds is deleted with its root's
    // cached copies; then all are added again with their own ids and path
    // names. A scope that the database does not hold (a new id) is only
    // added.
    int replace_load_scopes(const std::vector<ostrel_scope>& scopes);
    // Deletes one scope. With `invalidate`, the kernel file system and the
    // namespace cache then forget its root object, whose ids are walked from
    // the scope's path name unless both are given (the walk's failure keeps
    // the scope). 20019 without a view.
    int delete_one_load_scope(const ostrel_scope& scope, int invalidate, const qel_oid_s* obj_oid,
                              const qel_uuid_s* replica_uuid);
    // For each rule, the scope of that name is deleted, or with `mark_only`
    // marked for deletion by the next update; a rule without a scope is
    // passed over. Message 53 names the first that fails.
    int delete_load_rules(const std::vector<std::string>& rules, int mark_only, int invalidate);

    const std::string& get_error_text() const { return m_error_text; }
    const std::string& get_storage() const { return m_storage; }

private:
    std::string path_of(const std::string& file_name) const { return m_storage + "/" + file_name; }
    void append_message(int index, const char* argument);

    std::string m_storage;
    std::string m_error_text;
};
