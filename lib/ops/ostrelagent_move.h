#pragma once
// Move: a client tool has moved an element on the server, or renamed it:
// a name left one directory and appeared in another, or changed within one
// directory. The view follows: the old and the new name and the directory
// elements concerned are dropped from every cache, the load rules that the
// change removed go with what they loaded, the source directory is read
// again, the destination directory is read again (and, when an explicit load
// rule holds it, the new name is updated surgically, waiting for a running
// update), and a local regular file still under the old name is renamed to
// the new one through the view.
//
// Request: root "Move" ("version", "tx-id"), children "src-path" and
// "dst-path" (the directories, view-relative: beginning with "/" and never
// climbing above it), "old-name" and "new-name" (single names, without
// "/"), and optionally "namespace-modified", whose "path" is then required,
// "removed-load-rules" present (possibly empty) and whose leaf lists, if
// present, empty. Refused offline. Reply: the envelope alone.
//
// Invalidations, in order: the old name in the source directory, then for a
// rename within one directory the new name and the directory element, else
// the source directory element, the new name in the destination directory
// and the destination directory element. A failed invalidation is reported
// in the message and the operation goes on; any other failure ends it, and
// nothing done before is undone.

#include <string>

#include "lib/requests/ostrelagent_abstractop.h"

class OstrelAgent_Move : public OstrelAgent_AbstractOp {
public:
    static constexpr const char* TAG_SRC_PATH = "src-path";
    static constexpr const char* TAG_DST_PATH = "dst-path";
    static constexpr const char* TAG_OLD_NAME = "old-name";
    static constexpr const char* TAG_NEW_NAME = "new-name";

    OstrelAgent_Move(const std::string& request_text, NorvaneAutoPtr<NorvaneXmlDoc> document);
    ~OstrelAgent_Move() override;

    void process_request() override;
    std::string get_response() override;

    const std::string& get_src_path() const { return m_src_path; }
    const std::string& get_dst_path() const { return m_dst_path; }
    const std::string& get_old_name() const { return m_old_name; }
    const std::string& get_new_name() const { return m_new_name; }

private:
    void parse_request();
    // One of the two directories: a path below the view root.
    bool read_dir(NorvaneXmlElem* root, const char* tag, const char* missing, const char* not_absolute,
                  std::string& out);
    // One of the two names: a single name.
    bool read_name(NorvaneXmlElem* root, const char* tag, const char* missing, const char* separator,
                   std::string& out);
    // The invalidations; false when a directory does not resolve.
    bool invalidate();
    // Resolves the directory `dir` as the parent, with `leaf` under it.
    int locate(const std::string& dir, const std::string& leaf);
    // Drops the name `leaf` from the parent directory; reported, not fatal.
    void flush_name(const std::string& leaf);
    // Drops the parent directory element; reported, not fatal.
    void flush_dir();
    // The re-reads and the surgical update; the new name's path in the
    // view, or empty when the operation ended.
    std::string refresh();
    // Renames a regular file left under the old name to `new_path`.
    void move_local_file(const std::string& new_path);

    std::string m_src_path;
    std::string m_dst_path;
    std::string m_old_name;
    std::string m_new_name;
    std::string m_view_root;
};
