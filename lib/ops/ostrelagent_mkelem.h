#pragma once
// Mkelem: a client tool has made a new element on the server (a file, a
// directory or a symbolic link put under version control) where the view
// showed a view-private object of the same name; the view shows the
// element from now on.
//
// The kernel's cached names along the path and the parent directory element
// are dropped; a view-private directory that became a directory element
// becomes that element's cover directory, keeping its entries; the parent's
// listing is re-read in the background. For a new file that is not checked
// out the view-private file goes: with the new version named
// ("new-ver-oid" not the null oid) its bytes are adopted first as that
// version's cleartext, else the version's cleartext is fetched in the
// background. With "make-path" the client also made elements of the
// view-private directories above the new element: each of them, from the
// element up to the first version-controlled ancestor, is treated so too
// (flushed deepest first, adopted topmost first).
//
// Request: root "Mkelem" ("version", "tx-id"), children "path",
// "replica-uuid", "mkelem-flags" (attributes "make-path", "is-checked-out",
// "is-link", each set only by the text "true") and "new-ver-oid" (the null
// oid accepted), checked in that order; each missing or malformed one
// refuses the request with 20021. Offline: 20033. Reply: the envelope alone.
//
// The steps stop at the first failure, whose status the reply carries;
// flushed names and adopted directories stay so. A view-private file that
// cannot be removed ends the operation with 20001, adopted or not: the
// element would stay hidden behind it.

#include <string>
#include <vector>

#include "lib/requests/ostrelagent_abstractop.h"
#include "platform/qel/qel.h"

class OstrelAgent_Mkelem : public OstrelAgent_AbstractOp {
public:
    OstrelAgent_Mkelem(const std::string& request_text, NorvaneAutoPtr<NorvaneXmlDoc> document);
    ~OstrelAgent_Mkelem() override;

    void process_request() override;
    std::string get_response() override;

    // The flags as the request set them.
    bool make_path() const { return m_make_path != 0; }
    bool is_checked_out() const { return m_is_checked_out != 0; }
    bool is_link() const { return m_is_link != 0; }

private:
    // The view-relative path ("/vob1/dir/x.c") of a full path of the view;
    // "/" for the view root itself, a path outside the view made absolute
    // as it stands.
    std::string view_relative_path(const std::string& full_path);
    void parse_request();
    // The names to flush and the paths to adopt, without make-path (the
    // element alone) and with it (the walk up the view-private ancestors).
    int collect_element();
    int collect_path();
    // The element's content, once it is version-controlled: adopted or
    // fetched, the view-private file removed.
    void settle_content();
    // 20001 when the element's name (not a link element's) holds a link,
    // FIFO, socket or device; 0 otherwise.
    int refuse_odd_leaf();
    // Makes the view-private directory at the view-relative `path` the
    // cover directory of the directory element that now has its name.
    int adopt_path(const std::string& path);
    // The parent directory version's dbid, and the element's status that
    // the view database or the server gives for the leaf in it.
    int get_obj_metadata_vob(unsigned int& parent_dbid);
    // Whether the view-relative `path` resolves to a version-controlled
    // object. The resolver's status becomes the operation's, its message
    // appended on a failure.
    bool is_version_controlled(const std::string& path);

    qel_uuid_s m_replica_uuid = QEL_UUID_NULL;
    qel_oid_s m_new_ver_oid = QEL_OID_NULL;
    int m_make_path = 0;
    int m_is_checked_out = 0;
    int m_is_link = 0;

    // Working lists of one request: view-relative paths, the names to flush
    // deepest first, and the paths to adopt, the last one pushed first.
    std::vector<std::string> m_names_to_flush;
    std::vector<std::string> m_paths_to_adopt;
    // What the request named: its path, the element's full path, its
    // parent's path relative to the view root.
    std::string m_request_path;
    std::string m_element_path;
    std::string m_parent_rel_path;
    bool m_parent_listing_complete = false;
};
