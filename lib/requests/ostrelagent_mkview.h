#pragma once
// MkView: creates a new view in the storage handed over by the dispatcher
// (the daemon's first request). It reads the view's settings and the server
// settings from the request, makes the view object and creates the view
// (storage, cleartext cache directory, host-name file, lock, metadata file,
// namespace cache, view database, kernel registration), installs it in the
// view handler, logs in (a new view is online) and fetches the view's
// config spec into its rules files. A step that fails after the creation removes
// what it made, registration included, and logs out once logged in. The reply carries the status and
// the message; no tx-id.

#include "lib/requests/ostrelagent_abstractop.h"

class OstrelAgent_Mkview : public OstrelAgent_AbstractOp {
public:
    OstrelAgent_Mkview(const std::string& request_text, NorvaneAutoPtr<NorvaneXmlDoc> document,
                       const std::string& storage);
    ~OstrelAgent_Mkview() override;

    void process_request() override;
    std::string get_response() override;

    const std::string& get_storage() const { return m_storage; }

private:
    void parse_request();
    // The text of `root`'s child `tag`, empty when there is none.
    static std::string child_text(NorvaneXmlElem* root, const char* tag);
    // 0, or 20021 (the value named in the message) for a value that may not
    // become a file name, a step of a URL or a line of a file.
    int check_values();

    std::string m_storage;
    std::string m_view_uuid;
    std::string m_server_tag;
    std::string m_text_mode;
    std::string m_view_type;
    std::string m_cltxt_cache_dir;
    int m_preserve = 0;
};
