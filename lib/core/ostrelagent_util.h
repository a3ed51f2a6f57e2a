#pragma once
// Static helpers shared by every subsystem of the agent: status mapping,
// catalog and printf formatting, text and path functions, the strictly
// increasing view time, location texts, user lookups and the hijack words.

#include <sys/time.h>
#include <netinet/in.h>

#include <string>
#include <vector>

#include "platform/qel/qel.h"

class OstrelAgent_Util {
public:
    // What an update does with a hijacked file.
    enum HijackTreatment { HIJACK_KEEP = 0, HIJACK_OVERWRITE = 1, HIJACK_RENAME = 2 };

    static constexpr const char* DOT = ".";
    static constexpr const char* DOT_DOT = "..";
    static constexpr const char* KEEP = "keep";
    static constexpr const char* OVERWRITE = "overwrite";
    static constexpr const char* RENAME = "rename";
    static constexpr const char* CRLF = "\r\n";
    // Local and global pathname separators; both are "/" here.
    static constexpr char LOCAL_PNAME_SEP = '/';
    static constexpr char GLOBAL_PNAME_SEP = '/';

    // Size of the formatting buffers of format() and snprintf(): a message
    // longer than FORMAT_BUFFER_SIZE - 1 bytes is "too long" or is cut.
    static constexpr size_t FORMAT_BUFFER_SIZE = 153600;

    // --- statuses and formatting ---

    // 0 stays 0; 1002 and 1052 (not found) give 20002; anything else 20001.
    static int qel_to_ostrel_status(int status);

    // The message at 0-based `index` of `catalog` (a _imsg_message_table_t),
    // formatted with the further arguments. Never fails: a message that
    // cannot be loaded or does not fit gives an internal-error text instead.
    static std::string format(const void* catalog, int index, ...);

    // printf into a string; a text longer than FORMAT_BUFFER_SIZE - 1 is cut.
    static std::string snprintf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

    // --- text functions ---

    // Copy without leading and trailing blanks, tabs, CR and LF.
    static std::string trim(const std::string& text);
    // The same, in place.
    static void trim_in_place(std::string& text);
    // Removes one trailing "\r\n"; anything else is left alone.
    static void strip_crlf(std::string& text);
    // Different lengths are unequal (-1 when a is longer, 1 when shorter);
    // equal lengths compare case-insensitively character by character.
    static int compare_no_case(const std::string& a, const std::string& b);
    // Non-empty and only the digits 0-9.
    static bool is_number(const std::string& text);
    // The text in double quotes when it holds a blank or a tab.
    static std::string quote_if_whitespace(const std::string& text);
    // Every occurrence of `from` replaced by `to`, scanning left to right and
    // resuming after each replacement. An empty `from` changes nothing.
    static std::string replace_all(std::string text, const std::string& from, const std::string& to);
    // Request or reply text fit for traces, logs and echoes: the content of
    // every "password" and "proxy-password" element shown as "***" (an empty
    // one stays empty). Works on any text, well-formed or not; an element
    // that is never closed is masked to the end of the text.
    static std::string mask_passwords(const std::string& text);
    // Whether the text holds no control character (0x00-0x1f, 0x7f): a value
    // that may stand in one line of a file, a header line or a URL.
    static bool fits_one_line(const std::string& text);
    // The text with its trailing line ends dropped and every other control
    // character written as an escape ("\n", "\r", "\t", "\xHH"): one line
    // of a log or trace that no text from a server, a client or a file name
    // can split or forge.
    static std::string one_line(const std::string& text);
    // Appends the message `more` to the messages in `text`, on a line of its
    // own when `text` ends inside a line; a `more` that starts with a blank
    // goes on the line it continues.
    static void append_message(std::string& text, const std::string& more);
    // Splits at every `delimiter`: pieces before a delimiter are kept even
    // when empty, the piece after the last one only when not empty.
    static void tokenize(const std::string& text, std::vector<std::string>& out,
                         const std::string& delimiter);
    // "scope oid =<oid>; scope pn = "<path>"; scope_gn = <gn>", the trace
    // form of a load scope given by its fields.
    static std::string scope_to_string(const qel_oid_s& scope_oid, const char* pathname,
                                       unsigned int gn);

    // --- path functions ---

    // The longest name a directory entry may have.
    static constexpr size_t NAME_MAX_BYTES = 255;
    // Whether `length` bytes at `name` make a name that may become a
    // directory entry: not empty, ".", "..", longer than NAME_MAX_BYTES,
    // and without "/" or NUL.
    static bool is_safe_name(const char* name, size_t length);
    // Whether every name of `path` is safe; one leading "/" is allowed.
    static bool is_safe_path(const std::string& path);

    static bool contains_pname_separator(const std::string& path);
    static bool is_absolute_view_rel_path(const std::string& path);
    static void globalize_path(std::string& path);
    static void strip_leading_separators(std::string& path);
    static void strip_trailing_pathname_separator(std::string& path);
    // The part before the last "/"; empty when there is none or it is the
    // first character.
    static std::string parent(const std::string& path);
    // Byte-for-byte comparison.
    static bool paths_equal(const std::string& a, const std::string& b);
    // Collapses runs of "/", drops "." components and a trailing "/";
    // ".." stays. "./a" gives "a".
    static std::string sanitize_path(const std::string& path);
    // Whether the ".." components of `path` lead above the directory it
    // starts from ("/a/../.." and "../x" do, "/a/../b" does not), read
    // lexically component by component.
    static bool climbs_above_start(const std::string& path);
    // Whether `name` exists in `start_dir` or in one of its ancestors
    // (the root directory itself is not tried).
    static bool find_in_ancestors(const std::string& name, const std::string& start_dir);
    // The host part of a URL: after the first "//" up to the next "/".
    static std::string server_from_url(const std::string& url);

    // --- time, identity and location ---

    // The current time, strictly increasing across all calls in the process.
    static void get_view_time(struct timeval* tv);
    // "oid:<oid>@replicauuid:<uuid>" into a buffer of at least
    // LOCATION_BUFFER_SIZE bytes.
    static constexpr size_t LOCATION_BUFFER_SIZE = 256;
    static void uuid_oid_to_location(const qel_uuid_s* replica_uuid, const qel_oid_s* oid,
                                     char* buffer);
    // "<dbid>@replicauuid:<uuid display form>".
    static void uuid_dbid_to_location(const qel_uuid_s* replica_uuid, long dbid, char* buffer);
    // An id's 36-character text form.
    static std::string id_text(const qel_oid_s& oid);
    static std::string id_text(const qel_uuid_s& uuid);
    // The uuid's display form; returns what the base library returns.
    static char* uuid_to_location(const qel_uuid_s* uuid, char* buffer);
    static std::string process_qualified_user();
    static std::string process_user();
    // Home directory of the login user; empty when it cannot be found.
    static std::string get_user_home();
    // "a.b.c.d" into the four bytes of an IPv4 address.
    static void set_socket_addr(const std::string& text, struct in_addr* addr);
    // Sets `is_empty` to 1 when the directory holds nothing but "." and "..",
    // else 0. Returns 0, or 20050 when the directory cannot be opened.
    static int is_dir_empty(const std::string& path, int& is_empty);
    static bool korva_is_case_sensitive();
    // Replaces `path` (a file in `dir`) with `content`: a temporary file
    // named `temp_prefix` + a unique part is written in the same directory,
    // synchronised and renamed over the old one, so that a crash or a full
    // disk leaves either the old file or the new one. The new file gets the
    // permissions of an ordinary file created under the umask. 0, or the
    // errno value of the first failure (the old file is then unchanged).
    static int write_whole_file(const std::string& dir, const std::string& path,
                                const std::string& content, const char* temp_prefix);
    // "keep", "overwrite", "rename" (exactly); false and `treatment`
    // untouched for anything else.
    static bool parse_hijack_treatment(std::string text, HijackTreatment& treatment);
    // Assertion hook; does nothing.
    static void ostrela_assert(int condition, const char* text, int number, const char* text2);
};
