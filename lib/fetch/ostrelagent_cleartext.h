#pragma once
// The cleartext of one version: the version's file in the view's cleartext
// cache, fetched from the server when absent.
//
// The cache holds one file per version and text mode:
//
//   <cache root>/.c/<VOB uuid>/<a>/<b>/<version oid>-<text mode>
//
// where a and b (lower-case hex, "0" to "42") are the hash of the version
// oid's text modulo 67, and that hash shifted right by 6 bits modulo 67, so
// a VOB spreads over at most 67 x 67 leaf directories. A file in the cache
// is complete when it exists: a fetch (or an adoption of a local file)
// writes a temporary ".tmp." file in the leaf directory, synchronises it,
// makes it read-only for its owner and renames it into place. A crash leaves
// at most a ".tmp." file, which never matches a version's name; a lost
// rename costs one fetch more.
//
// A foreground fetch (no listener) runs in the caller's thread; a
// background fetch (with a listener, which the object then owns) is handed
// to the request pool as low-priority work and getcleartext returns at
// once. Equal fetches running at once meet in the cleartext scoreboard and
// make one request to the server; a foreground reader of a version whose
// background fetch is still queued moves it to the foreground queue (or,
// first to the scoreboard entry's lock, runs it itself).
//
// The object lives on its creator's stack; the creator reads the cache path
// and the error message after the calls. Every failure appends its text to
// the error message, except that a missing view replaces it.

#include <memory>
#include <string>

#include "lib/fetch/ostrelagent_bg_cleartext_listener.h"
#include "platform/qel/qel.h"

class OstrelAgent_Cleartext {
public:
    // The fetch URL suffix: prefix, VOB uuid, separator, version oid, "/",
    // text mode. The session URL goes in front of it.
    static constexpr const char* CLTXT_URL_PREFIX = "/cltxt/";
    static constexpr const char* CLTXT_URL_SEPARATOR = "/";

    // The version is named by its oid, or by its dbid (`ver_oid` the null
    // oid); `cache_root` is the view's cleartext cache directory. A listener
    // makes getcleartext fetch in the background; the object owns it.
    OstrelAgent_Cleartext(const qel_uuid_s& vob, unsigned ver_dbid, const qel_oid_s& ver_oid,
                          const std::string& cache_root,
                          OstrelAgent_BG_Cleartext_listener* listener = nullptr);
    virtual ~OstrelAgent_Cleartext();

    OstrelAgent_Cleartext(const OstrelAgent_Cleartext&) = delete;
    OstrelAgent_Cleartext& operator=(const OstrelAgent_Cleartext&) = delete;

    // Makes the version's file present in the cache; `in_cache` is set when
    // it was there already. Without a listener the fetch runs now: 0 once
    // the file is there, else the fetch's status (that of the fetch this one
    // met, when equal fetches met). With a listener the status only tells
    // whether the fetch could be queued (or was not needed, or is queued
    // already). 20019 without a view, 20021 for a dbid that names no
    // object, 20033 offline with the file absent.
    int getcleartext(int& in_cache);
    // Names the version's file and tells whether it is present; offline, an
    // absent file is 20033.
    int check_cache(int& in_cache);
    // Makes a copy of the local file open on `in` (a view-private file that
    // has just become this version; read from where it stands, the caller
    // keeps and closes it), named `path` in messages, the version's cache
    // file, replacing any cached one. The file itself stays. 0, or 20001,
    // 20019, 20021. Only a plain file is read: a FIFO or device is refused
    // before a byte is read.
    int adopt(int in, const std::string& path);

    // The cache file's path relative to the cache root (once getcleartext,
    // check_cache or adopt named it).
    std::string get_cltxt_relpath() const;
    // Whether the cache file exists.
    bool cltxt_in_cache() const;

    // Fetches the version's file from the server into the cache; its paths
    // are named already. 0, the remote command's status, or 20001.
    int wan_fetch_cleartext();

    const std::string& get_cache_path() const { return m_cache_path; }
    const std::string& get_error_message() const { return m_error; }
    const qel_uuid_s& get_vob_uuid() const { return m_vob; }
    const qel_oid_s& get_ver_oid() const { return m_ver_oid; }
    // The listener of a background fetch; null for a foreground one.
    const OstrelAgent_BG_Cleartext_listener* get_listener() const { return m_listener.get(); }

private:
    // The view's text mode. A missing view replaces the error message.
    int get_view_textmode(std::string& mode);
    // Text mode, oid (from the dbid when needed) and paths.
    int name_version();
    int gen_cache_dirs();
    int gen_cache_pathname();
    int gen_cleartext_url(std::string& url);
    // The leaf directory, made when missing.
    int make_cltxt_parent();
    // A new, empty temporary file in the leaf directory.
    int gen_tmp_path();
    // Copies the regular file open on `in` (named `path`) into the
    // temporary file, its writeback started as the copy goes. 0, or 20001
    // with the failed call's text.
    int copy_in(int in, const std::string& path);
    // Synchronises the temporary file, makes it read-only for its owner and
    // renames it to the cache path; removes it on failure.
    int finalize_cltxt();
    void remove_tmp();
    // A heap copy for a background fetch; the listener moves to it.
    OstrelAgent_Cleartext* background_copy();

    qel_uuid_s m_vob;
    unsigned m_ver_dbid;
    qel_oid_s m_ver_oid;
    std::string m_cache_root;
    std::string m_cache_path;
    std::string m_cache_dirs;
    std::string m_error;
    std::string m_text_mode;
    std::string m_tmp_path;
    std::unique_ptr<OstrelAgent_BG_Cleartext_listener> m_listener;
};
