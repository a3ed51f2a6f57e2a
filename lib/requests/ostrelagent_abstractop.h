#pragma once
// The base of every client request operation, and the shape of every reply.
//
// An operation serves one request: the dispatcher (create_xml_request_handler)
// parses the request text and builds the operation that the root element
// names, handing it the parsed document; the caller runs process_request(),
// sends get_response()'s text and deletes the operation. Operations that no
// client sent (the EndView of a forced shutdown, internal steps of other
// operations) are made with the default constructor and have no document.
//
// Reply envelope: the root element is the operation's name, with the
// attributes "tx-id" (the request's, possibly empty) and "status-code" (the
// status in decimal), a child "status-message" only when the message is not
// empty, then the operation's own elements (build_reply_envelope).
//
// An operation object is used by one thread at a time and takes no lock. It
// owns its document and its kernel control object, never the view.

#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "lib/core/ostrelagent_status.h"
#include "platform/qel/qel.h"
#include "xdr/ostrelxdr_blob.h"
#include "xdr/ostrelxdr_view.h"
#include "xml/norvane_auto_ptr.h"
#include "xml/norvane_xml_doc.h"

class NorvaneXmlElem;
class OstrelAgent_KORVA_Ioctl;
class OstrelAgent_Metadata;
class OstrelAgent_View_Base;

class OstrelAgent_AbstractOp {
public:
    // Separates key and value in "key=value" lines (the view metadata file).
    static constexpr const char* KEY_VALUE_SEP = "=";

    // Takes the document out of `document` (which is left empty) and the
    // request name from its root element. Never fails.
    OstrelAgent_AbstractOp(const std::string& request_text, NorvaneAutoPtr<NorvaneXmlDoc> document);
    // An operation without a request (internal callers).
    OstrelAgent_AbstractOp();
    virtual ~OstrelAgent_AbstractOp();

    OstrelAgent_AbstractOp(const OstrelAgent_AbstractOp&) = delete;
    OstrelAgent_AbstractOp& operator=(const OstrelAgent_AbstractOp&) = delete;

    // Runs the operation; the outcome is left in the status and message.
    virtual void process_request() = 0;
    // The reply text.
    virtual std::string get_response() = 0;

    // --- the dispatcher ---

    // Parses `request_text` and builds the operation its root element names
    // (MkView and StartView also get `storage`). `status` is set to 0, or to
    // 20021 when null is returned: the text gave no document or no root
    // element. Text that is not well-formed XML, and a root that names no
    // operation, give the Unknown operation; text that cannot be transcoded
    // gives the XMLError operation. The caller owns the result.
    static OstrelAgent_AbstractOp* create_xml_request_handler(std::string& request_text,
                                                              std::string& storage, int& status);

    // The dispatcher as both request channels call it: an exception that
    // leaves it fails this request alone (null, status 20031).
    static OstrelAgent_AbstractOp* create_operation(std::string& request_text,
                                                    std::string& storage, int& status);
    // Runs the operation and returns its reply, `status` taking the
    // operation's status; how both channels serve a request. An exception
    // fails this request alone: status 20001 and the generic error reply.
    std::string run_and_reply(int& status);

    // --- shared steps of the operations ---

    void get_request_name(std::string& name) const { name = m_request_name; }

    // Checks the request's envelope: a document with a root element, a
    // "version" no greater than the supported one and, when `txid_required`
    // is non-zero, a "tx-id". The root element, or null with the status and
    // message set (20021; 20024 for a version too new).
    NorvaneXmlElem* parse_validate_request(const int& txid_required);

    // The transaction id from request text that could not be parsed: the
    // text between the first two double quotes after the first "tx-id".
    // `txid` is left unchanged when there is none.
    static void get_txid(const std::string& request_text, std::string& txid);

    // 0 once the view field is set (filled from the view handler on the
    // first call); else appends "View information not found." to the message
    // and returns 20019. Does not store the status.
    int get_view();
    // 0 once the kernel control object exists (made on first use for the
    // view); else get_view's status.
    int get_ioctl();

    // The reply for a request that gave no operation: root "Unknown",
    // "status-code", and "status-message" when `message` is not empty. Empty
    // when the document cannot be made.
    static std::string get_error_response(int status, const std::string& message);
    // The same shape under the root `root`.
    static std::string error_reply(const std::string& root, int status,
                                   const std::string& message);

    // --- the frame of the element operations and queries ---
    //
    // Every element operation reads its request the same way: the envelope
    // with a transaction id, then "path" as the operation needs it, then its
    // own fields, each refused with 20021 and the parse error (replacing the
    // message) when missing or malformed. Operations that follow a change on
    // the server refuse to run offline; every operation answers with the
    // envelope, followed by its own result elements for the queries.

    // How an operation reads the request's "path".
    enum class Path_Rule { REQUIRED, OPTIONAL, ABSENT };
    // The envelope (tx-id required), then the path by `rule`. The root
    // element, or null with the status and message set.
    NorvaneXmlElem* parse_frame(Path_Rule rule);
    // The text of `root`'s child `tag` as a uuid. False, with the request
    // refused and `missing` or `malformed` traced, when there is no such
    // child or its text is no uuid.
    bool read_uuid(NorvaneXmlElem* root, const char* tag, const char* missing, const char* malformed,
                   qel_uuid_s& out);
    // The same for an oid; with `null_refused` (its trace text) the null
    // oid is refused too.
    bool read_oid(NorvaneXmlElem* root, const char* tag, const char* missing, const char* malformed,
                  const char* null_refused, qel_oid_s& out);
    // The text of `root`'s child `tag`, as it stands. False, with the
    // request refused and `missing` traced, when there is no such child or
    // its text is empty.
    bool read_text(NorvaneXmlElem* root, const char* tag, const char* missing, std::string& out);
    // Flag attributes of a request element: each flag is set (1) exactly
    // when its attribute's value is "true"; any other value, or none, leaves
    // it clear (0).
    static void read_true_flags(const NorvaneXmlElem* elem,
                                std::initializer_list<std::pair<const char*, int*>> flags);
    // For the operations that follow a change on the server: while the view
    // is offline, appends "Client is disconnected from the server.", sets
    // 20033 and returns true.
    bool refuse_offline();
    // The reply: the envelope under `tag`, then what `results` adds (the
    // queries' own elements), the text traced at `trace_level`.
    std::string common_reply(const std::string& tag, int trace_level,
                             const std::function<void(NorvaneXmlDoc&)>& results = nullptr);

    // --- the object a request names by its path ---
    //
    // Most element operations work on one object named by a path below the
    // view root ("/<vob tag>/dir/leaf"). Their usual order: the envelope
    // check, parse_path, divide_path, get_parent_metadata, one of the
    // get_obj_metadata steps, the operation's own work, then the flushes.
    // Each step fills the working fields that the later ones read. The steps
    // that return a status leave storing it to the caller; the parse steps
    // store 20021 themselves (with the parse error in the message).

    // Reads the text of `elem`'s child "path" into `out` (which keeps its
    // value when there is no such child). A path must begin with "/" and
    // its ".." components may not climb above it: anything else is refused
    // like a missing path that is `required`.
    void parse_path(NorvaneXmlElem* elem, std::string& out, bool required);
    // The same into the operation's path.
    void parse_path(NorvaneXmlElem* elem, bool required);
    // Whether a request's path may be joined to the view root: it begins
    // with "/" and none of its ".." components climbs above it.
    static bool is_below_view_root(const std::string& path);
    // Splits the path into the leaf and the parent directory, and makes the
    // parent path and the object path (each the view root followed by the
    // parent directory, resp. the path). 0; get_view's status; 20001 for a
    // path that has no leaf.
    int divide_path();
    // The parent directory's status and VOB by a walk of the parent path
    // (a final symbolic link followed). 0, get_view's or the walk's status.
    int get_parent_metadata();
    // The object's status as the view database holds it under the leaf in
    // the parent directory version. An absent leaf is no failure: `out`
    // (when given) is zero-filled and the object status stays as it was.
    // 20001 when the parent directory is unknown to the view database or
    // the leaf names something other than a version.
    int get_obj_metadata_db(ostrel_vstat* out);
    // The object's status as the kernel file system sees the object path.
    int get_obj_metadata_korva();
    // Whether the view database holds the whole listing of the directory
    // version `ver` of `vob` (`path` for messages). 0, or 20001 when the
    // version is unknown (`done` not written).
    int get_readdir_done(const qel_uuid_s& vob, const qel_oid_s& ver, const std::string& path, bool& done);
    int get_parent_readdir_done(bool& done);
    int get_obj_readdir_done(bool& done);
    // Refuses (20021) the first name that holds a pathname separator.
    void check_no_separators(std::vector<std::string>& names);
    // Appends the texts of the children of `elem`'s child `list_tag`, each
    // of which must be an `item_tag` with a text (20021 otherwise; what was
    // appended before stays). A missing list is refused when `required`.
    void parse_sub_list(NorvaneXmlElem* elem, const char* list_tag, const char* item_tag,
                        std::vector<std::string>& out, bool paths, bool required);
    // Drop stale copies from the namespace cache, the kernel and the view
    // database: the parent directory element (nothing when it was never
    // found), the object's name in the parent directory, the object and its
    // name (the name alone when the object was never found).
    int flush_parent_elem(vob_op_t op);
    int flush_obj_leaf(vob_op_t op);
    int flush_metadata(vob_op_t op);

    // --- namespace changes a request reports ---
    //
    // An operation that changed a directory's names on the server (a move,
    // a removal, a merge, a cancelled checkout of a directory) carries the
    // change in "namespace-modified": the directory's "path", the load
    // rules the change removed ("removed-load-rules", each a "path"), and
    // the names removed from and added to the directory ("removed-leaves",
    // "new-leaves", each a "leaf" holding a single name). The operation
    // parses it with its request, then drops the removed load rules and
    // re-reads the changed directory, which an explicit load rule's
    // directory follows with a surgical update (waiting for a running
    // update to end).
    static constexpr const char* TAG_NAMESPACE_MODIFIED = "namespace-modified";
    static constexpr const char* TAG_REMOVED_LOAD_RULES = "removed-load-rules";
    static constexpr const char* TAG_REMOVED_LEAVES = "removed-leaves";
    static constexpr const char* TAG_NEW_LEAVES = "new-leaves";
    static constexpr const char* TAG_LEAF = "leaf";

    void parse_new_leaves(NorvaneXmlElem* elem, bool required);
    void parse_removed_leaves(NorvaneXmlElem* elem, bool required);
    void parse_removed_load_rules(NorvaneXmlElem* elem, bool required);
    // Parses `elem`'s "namespace-modified" (refused when absent and
    // `required`). With `path_from_element` its path becomes the
    // operation's path; otherwise it must equal the operation's path. The
    // three lists as their flags require; a leaf holding "/" is refused.
    // Failures: 20021 with the parse error in the message.
    void parse_namespace_modified(NorvaneXmlElem* elem, bool required, bool path_from_element,
                                  bool removed_load_rules_required, bool removed_leaves_required,
                                  bool new_leaves_required);
    // Whether the operation's path names a VOB root (false when it does not
    // resolve); for a root, its status and VOB become the parent's. Always 0.
    int check_is_vobroot(bool& is_vob_root);
    // Deletes the removed load rules from the view and drops what they had
    // loaded from the namespace cache and the kernel (the whole view when
    // their elements cannot be listed or one cannot be flushed).
    void clean_removed_load_rules();
    // Re-reads the directory version `dir_dbid` of `vob` (`dir_path` for
    // messages and the update) after a change of its names; with
    // `check_scope`, a directory that an explicit load rule loaded is then
    // updated surgically.
    void namespace_change_dir_update(const qel_uuid_s& vob, unsigned int dir_dbid, const std::string& dir_path,
                                     bool check_scope);
    // The tail that the operations after a namespace change share: the
    // removed load rules dropped, then `walk` run afresh through the
    // namespace (which asks the server what it no longer holds). False, with
    // the status and the message set, when either fails.
    bool clean_and_walk(OstrelAgent_Metadata& walk);
    // Runs `walk`; its status and message become the operation's when it
    // fails.
    bool walk_afresh(OstrelAgent_Metadata& walk);
    // namespace_change_dir_update of the directory that `dir` walked to,
    // under its path in the view, or under that path and `leaf` (the name
    // that the change brought into it) when one is given.
    void walked_dir_update(const OstrelAgent_Metadata& dir, const std::string& leaf, bool check_scope);
    const std::vector<std::string>& get_removed_load_rules() const { return m_removed_load_rules; }
    const std::vector<std::string>& get_removed_leaves() const { return m_removed_leaves; }
    const std::vector<std::string>& get_new_leaves() const { return m_new_leaves; }

    const std::string& get_path() const { return m_path; }
    const std::string& get_leaf() const { return m_leaf; }
    const std::string& get_parent_dir() const { return m_parent_dir; }
    const std::string& get_parent_path() const { return m_parent_path; }
    const std::string& get_object_path() const { return m_object_path; }
    const view_vstat& get_parent_vstat() const { return m_parent_vstat; }
    const view_vstat& get_object_vstat() const { return m_object_vstat; }
    const qel_uuid_s& get_parent_vob_uuid() const { return m_parent_vob_uuid; }
    const qel_uuid_s& get_object_vob_uuid() const { return m_object_vob_uuid; }

    // --- fields read by the dispatcher, the request channel and tests ---

    int get_status() const { return m_status; }
    void set_status(int status) { m_status = status; }
    const std::string& get_message() const { return m_message; }
    const std::string& get_txid() const { return m_txid; }
    const std::string& get_request_text() const { return m_request_text; }
    const std::string& get_supported_version() const { return m_supported_version; }
    void set_supported_version(const std::string& version) { m_supported_version = version; }
    void set_request_name(const std::string& name) { m_request_name = name; }
    NorvaneXmlDoc* get_request_doc() const { return m_request_doc.get(); }
    OstrelAgent_View_Base* view() const { return m_view; }
    OstrelAgent_KORVA_Ioctl* ioctl() const { return m_ioctl.get(); }

protected:
    // The reply envelope, in two steps around the operation's own elements:
    // start_reply creates the root `tag` with "tx-id" (unless `with_txid` is
    // false), "status-code" as `status_code` and "status-message" when the
    // message is not empty, and returns the root's creation status (the
    // statuses of the other steps are traced only); finish_reply serialises
    // the document. A reply whose root could not be made is empty.
    int start_reply(NorvaneXmlDoc& doc, const std::string& tag, int status_code,
                    bool with_txid = true);
    std::string finish_reply(NorvaneXmlDoc& doc, int trace_level = 4);
    // The whole envelope with no elements of the operation's own.
    std::string envelope_reply(const std::string& tag, int status_code, bool with_txid = true);
    // "Parse error in "<request text>".\n" (catalog message 7), the request
    // text's passwords masked.
    std::string parse_error_message() const;
    // Refuses the request as malformed: status 20021, the message replaced
    // by the parse error.
    void refuse_malformed() {
        m_status = OstrelAgent_Status::MALFORMED_REQUEST;
        m_message = parse_error_message();
    }
    // The status as the reply writes it ("%d").
    static std::string status_text(int status);

    int m_status = 0;
    std::string m_message;
    std::string m_txid;
    std::string m_requested_version;
    std::string m_supported_version;
    std::string m_request_text;
    std::string m_request_name;
    std::unique_ptr<NorvaneXmlDoc> m_request_doc;

    // Working fields of the path, metadata and namespace-change steps.
    std::string m_path;
    std::vector<std::string> m_removed_load_rules;
    std::vector<std::string> m_removed_leaves;
    std::vector<std::string> m_new_leaves;
    OstrelAgent_View_Base* m_view = nullptr; // not owned
    std::string m_leaf;
    std::string m_parent_dir;
    std::string m_parent_path;
    std::string m_object_path;
    view_vstat m_parent_vstat{};
    view_vstat m_object_vstat{};
    qel_uuid_s m_parent_vob_uuid = QEL_UUID_NULL;
    qel_uuid_s m_object_vob_uuid = QEL_UUID_NULL;
    qel_oid_s m_spare_id = QEL_OID_NULL;
    std::unique_ptr<OstrelAgent_KORVA_Ioctl> m_ioctl;
};
