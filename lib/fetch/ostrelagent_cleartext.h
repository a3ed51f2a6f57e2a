#pragma once
// The cleartext of one version: the version's file in the view's cleartext
// cache, under "<cache root>/.c/<VOB uuid>/<a>/<b>/<version oid>-<text mode>",
// where a and b come from the hash of the version oid's text.
//
// Stand-in: the remote fetch is not built yet. A version missing from the
// cache is "fetched" from a text that a test scripts (empty when none; a
// directory version has none and fails), with
// a counter of fetches and statuses forced for the next fetches; concurrent
// fetches are serialised, so that a second one finds the file present.

#include <string>

#include "platform/qel/qel.h"

class OstrelAgent_Cleartext {
public:
    // The version is named by its oid, or by its dbid when the oid is the
    // null oid; `cache_root` is the view's cleartext cache directory.
    OstrelAgent_Cleartext(const qel_uuid_s& vob, unsigned ver_dbid, const qel_oid_s& ver_oid,
                          const std::string& cache_root);
    virtual ~OstrelAgent_Cleartext();

    OstrelAgent_Cleartext(const OstrelAgent_Cleartext&) = delete;
    OstrelAgent_Cleartext& operator=(const OstrelAgent_Cleartext&) = delete;

    // Makes the version's file present in the cache, fetching it first when
    // absent; `in_cache` tells whether it was there. 0; 20019 without a
    // view; 20021 for a version that cannot be named; 20001 for a failed
    // fetch.
    int getcleartext(int& in_cache);
    // Names the file and tells whether it is present.
    int check_cache(int& in_cache);
    // The file's path relative to the cache root (after getcleartext or
    // check_cache).
    std::string get_cltxt_relpath() const;
    const std::string& get_cache_path() const { return m_cache_path; }
    const std::string& get_error_message() const { return m_error; }

    // ---- the script of the stand-in ----------------------------------------------------

    // The text a fetch of the version writes.
    static void script_text(const qel_uuid_s& vob, const qel_oid_s& ver_oid, const std::string& text);
    // The next `times` fetches fail with `status`.
    static void force_status(int status, unsigned times);
    // Fetches made (absent files written) since the last reset.
    static unsigned fetches();
    static void reset_script();

private:
    int fetch();

    qel_uuid_s m_vob;
    unsigned m_ver_dbid;
    qel_oid_s m_ver_oid;
    std::string m_cache_root;
    std::string m_cache_path;
    std::string m_cache_dirs;
    std::string m_error;
    std::string m_text_mode;
    bool m_directory = false;
};
