#pragma once
// GetChildren: the names a directory of the view holds, each with its kind.
//
// Request: root "GetChildren" ("version", "tx-id" required) with "path": the
// view root itself, or a directory below it (under the view root, or
// relative to it from a VOB tag). Reply: the envelope, then one "child" per
// name in directory order, its text the name and its "type" "directory",
// "file", "symlink" or "unknown".
//
// At the view root the children are the mounted VOBs, from a copy of the
// mounted-VOB registry. Elsewhere the path is walked through the namespace
// cache and the directory read in batches of 8192 bytes on the stack,
// carried from one to the next by the read's cookie alone, so the listing
// costs no memory but the children found. "." and "..", names the
// namespace would refuse to look up and names without an object are left
// out; the kind comes from the entry itself for directory, file and link
// elements, and from a look-up of the name for every other kind. A failed
// look-up marks the reply failed but the rest of its batch is still
// examined; no further batch is read. A batch that does not read as
// records fails the request.
//
// The listing holds no lock of its own: each read and look-up takes the
// namespace mutex for itself, so a listing made while names change is not
// a snapshot.

#include <string>
#include <vector>

#include "lib/requests/ostrelagent_abstractop.h"

class OstrelAgent_GetChildren : public OstrelAgent_AbstractOp {
public:
    static constexpr const char* TAG_CHILD = "child";
    static constexpr const char* ATTR_DIRECTORY = "directory";
    static constexpr const char* ATTR_FILE = "file";
    static constexpr const char* ATTR_SYMLINK = "symlink";
    static constexpr const char* ATTR_UNKNOWN = "unknown";

    // The bytes of one directory batch.
    static constexpr unsigned BATCH_SIZE = 8192;

    // One child: its file type (1 file, 2 directory, 5 symbolic link, others
    // as they come) and its name.
    struct child_entry_t {
        int ftype = 0;
        std::string name;
    };

    OstrelAgent_GetChildren(const std::string& request_text, NorvaneAutoPtr<NorvaneXmlDoc> document);
    ~OstrelAgent_GetChildren() override;

    void process_request() override;
    std::string get_response() override;

    const std::vector<child_entry_t>& get_children() const { return m_children; }
    // The reply's "type" of a file type.
    static const char* type_name(int ftype);

protected:
    // One batch of the directory `dir` from `cookie` into `buf` (`size`
    // bytes), as the namespace reads it; a base status. Tests put batches
    // of their own in its place.
    virtual int read_batch(view_fhandle& dir, unsigned cookie, unsigned& next, unsigned& used, int& end, void* buf,
                           unsigned size);

private:
    void parse_request();
    void list_mounted_vobs();
    void list_directory(view_fhandle dir);
    // Fails the listing because its read failed (`status`, a base status;
    // `why` its text); only the first failure sets the status.
    void read_failed(int status, const std::string& why);
    void evaluate(view_fhandle& dir, const view_dirent_ext& head, const std::string& name);

    std::vector<child_entry_t> m_children;
};
