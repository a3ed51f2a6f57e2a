#include "lib/core/ostrelagent_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>

#include "lib/core/ostrelagent_mutex_guard.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_trace.h"
#include "platform/imsg/imsg.h"
#include "platform/norvanethread/norvanethread.h"
#include "platform/utl/credutl.h"
#include "platform/utl/date.h"
#include "platform/utl/fileutl.h"
#include "platform/utl/strutl.h"
#include "platform/utl/sysutl.h"

namespace {

const char* const CLASS_NAME = "OstrelAgent_Util";
const char* const TRIM_CHARS = " \t\r\n";

// Last issued view time; strictly increasing.
struct timeval g_view_time = {0, 0};
norvanethread_mutex_t g_view_time_mutex = NORVANETHREAD_MUTEX_INITIALIZER;

// Most messages are short: format into a small stack buffer first and go to
// the heap only for a long one, so that callers on small thread stacks are
// safe.
const size_t SMALL_BUFFER = 1024;

} // namespace

int OstrelAgent_Util::qel_to_ostrel_status(int status) {
    if (status == 0) return OstrelAgent_Status::SUCCESS;
    if (status == 1002 || status == 1052) return OstrelAgent_Status::NOT_FOUND;
    return OstrelAgent_Status::GENERAL_FAILURE;
}

std::string OstrelAgent_Util::format(const void* catalog, int index, ...) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "format");
    const size_t limit = FORMAT_BUFFER_SIZE - 1;

    char small[SMALL_BUFFER];
    va_list args;
    va_start(args, index);
    va_list again;
    va_copy(again, args);
    int needed = imsg_vsnprintf(small, sizeof small, catalog, index, args);
    va_end(args);

    std::string result;
    if (needed < 0) {
        result = OstrelAgent_Util::snprintf("Internal error: could not load message %d", index);
    } else if (static_cast<size_t>(needed) > limit) {
        result = OstrelAgent_Util::snprintf("Internal error: message %d is too long", index);
    } else if (static_cast<size_t>(needed) < sizeof small) {
        result.assign(small, static_cast<size_t>(needed));
    } else {
        std::unique_ptr<char[]> big(new char[static_cast<size_t>(needed) + 1]);
        int again_needed =
            imsg_vsnprintf(big.get(), static_cast<size_t>(needed) + 1, catalog, index, again);
        if (again_needed == needed) {
            result.assign(big.get(), static_cast<size_t>(needed));
        } else {
            result = OstrelAgent_Util::snprintf("Internal error: could not load message %d", index);
        }
    }
    va_end(again);
    return result;
}

std::string OstrelAgent_Util::snprintf(const char* fmt, ...) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "format");
    char small[SMALL_BUFFER];
    va_list args;
    va_start(args, fmt);
    va_list again;
    va_copy(again, args);
    int needed = strutl_vsnprintf(small, sizeof small, fmt, args);
    va_end(args);

    std::string result;
    if (needed < 0) {
        // Only an encoding error gets here; give what could be formatted.
        result = small;
    } else if (static_cast<size_t>(needed) < sizeof small) {
        result.assign(small, static_cast<size_t>(needed));
    } else {
        size_t size = std::min(static_cast<size_t>(needed) + 1, FORMAT_BUFFER_SIZE);
        std::unique_ptr<char[]> big(new char[size]);
        strutl_vsnprintf(big.get(), size, fmt, again);
        result.assign(big.get());
    }
    va_end(again);
    return result;
}

std::string OstrelAgent_Util::trim(const std::string& text) {
    size_t first = text.find_first_not_of(TRIM_CHARS);
    if (first == std::string::npos) return std::string();
    size_t last = text.find_last_not_of(TRIM_CHARS);
    return text.substr(first, last - first + 1);
}

void OstrelAgent_Util::trim_in_place(std::string& text) {
    size_t last = text.find_last_not_of(TRIM_CHARS);
    if (last == std::string::npos) {
        text.clear();
        return;
    }
    text.erase(last + 1);
    text.erase(0, text.find_first_not_of(TRIM_CHARS));
}

void OstrelAgent_Util::strip_crlf(std::string& text) {
    if (text.size() >= 2 && text.compare(text.size() - 2, 2, CRLF) == 0) {
        text.erase(text.size() - 2);
    }
}

int OstrelAgent_Util::compare_no_case(const std::string& a, const std::string& b) {
    // Unequal lengths order the longer text first.
    if (a.size() > b.size()) return -1;
    if (a.size() < b.size()) return 1;
    for (size_t i = 0; i < a.size(); ++i) {
        int ca = std::tolower(static_cast<unsigned char>(a[i]));
        int cb = std::tolower(static_cast<unsigned char>(b[i]));
        if (ca < cb) return -1;
        if (ca > cb) return 1;
    }
    return 0;
}

bool OstrelAgent_Util::is_number(const std::string& text) {
    if (text.empty()) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

std::string OstrelAgent_Util::quote_if_whitespace(const std::string& text) {
    if (text.find_first_of(" \t") == std::string::npos) return text;
    return "\"" + text + "\"";
}

std::string OstrelAgent_Util::replace_all(std::string text, const std::string& from,
                                          const std::string& to) {
    if (from.empty()) return text;
    size_t pos = 0;
    while ((pos = text.find(from, pos)) != std::string::npos) {
        text.replace(pos, from.size(), to);
        pos += to.size();
    }
    return text;
}

namespace {

bool is_xml_name_char(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '_' || c == '.' ||
           c == ':' || (c & 0x80) != 0;
}

// Where the element named `name` whose content begins at `from` is closed
// ("</name" followed by '>' or white space): the position of that '<', or
// the text's end. Markup inside CDATA sections and comments closes nothing.
size_t find_close_tag(const std::string& text, size_t from, const std::string& name) {
    static const std::string CDATA = "<![CDATA[";
    static const std::string COMMENT = "<!--";
    size_t pos = from;
    while ((pos = text.find('<', pos)) != std::string::npos) {
        if (text.compare(pos, CDATA.size(), CDATA) == 0) {
            pos = text.find("]]>", pos + CDATA.size());
        } else if (text.compare(pos, COMMENT.size(), COMMENT) == 0) {
            pos = text.find("-->", pos + COMMENT.size());
        } else if (text.compare(pos, 2, "</") == 0 && text.compare(pos + 2, name.size(), name) == 0) {
            const size_t after = pos + 2 + name.size();
            if (after == text.size() || !is_xml_name_char(text[after])) return pos;
            ++pos;
            continue;
        } else {
            ++pos;
            continue;
        }
        if (pos == std::string::npos) break;
    }
    return text.size();
}

} // namespace

bool OstrelAgent_Util::fits_one_line(const std::string& text) {
    for (const char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) return false;
    }
    return true;
}

std::string OstrelAgent_Util::one_line(const std::string& text) {
    size_t end = text.size();
    while (end > 0 && (text[end - 1] == '\n' || text[end - 1] == '\r')) --end;
    std::string line;
    line.reserve(end);
    for (size_t i = 0; i < end; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != 0x7f) {
            line += static_cast<char>(c);
        } else if (c == '\n') {
            line += "\\n";
        } else if (c == '\r') {
            line += "\\r";
        } else if (c == '\t') {
            line += "\\t";
        } else {
            static const char digits[] = "0123456789abcdef";
            line += "\\x";
            line += digits[c >> 4];
            line += digits[c & 0xf];
        }
    }
    return line;
}

void OstrelAgent_Util::append_message(std::string& text, const std::string& more) {
    if (more.empty()) return;
    if (!text.empty() && text.back() != '\n' && more.front() != ' ') text += '\n';
    text += more;
}

bool OstrelAgent_Util::is_safe_name(const char* name, size_t length) {
    if (name == nullptr || length == 0 || length > NAME_MAX_BYTES) return false;
    if (std::memchr(name, '/', length) != nullptr || std::memchr(name, '\0', length) != nullptr) return false;
    return !(length == 1 && name[0] == '.') && !(length == 2 && name[0] == '.' && name[1] == '.');
}

bool OstrelAgent_Util::is_safe_path(const std::string& path) {
    size_t start = !path.empty() && path[0] == '/' ? 1 : 0;
    for (;;) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        if (!is_safe_name(path.data() + start, end - start)) return false;
        if (end == path.size()) return true;
        start = end + 1;
    }
}

std::string OstrelAgent_Util::mask_passwords(const std::string& text) {
    static const char* const SECRET_ELEMENTS[] = {"password", "proxy-password"};
    std::string out;
    size_t copied = 0; // text before this position is in `out`
    size_t pos = 0;
    while ((pos = text.find('<', pos)) != std::string::npos) {
        size_t name_end = pos + 1;
        while (name_end < text.size() && is_xml_name_char(text[name_end])) ++name_end;
        const std::string name = text.substr(pos + 1, name_end - pos - 1);
        bool secret = false;
        for (const char* element : SECRET_ELEMENTS) secret = secret || name == element;
        if (!secret) {
            pos = name_end;
            continue;
        }
        const size_t tag_end = text.find('>', name_end);
        if (tag_end == std::string::npos) break;
        pos = tag_end + 1;
        if (text[tag_end - 1] == '/') continue; // an empty element
        const size_t close = find_close_tag(text, pos, name);
        if (close == pos) continue; // empty content: nothing to hide
        out.append(text, copied, pos - copied);
        out += "***";
        copied = close;
        pos = close;
    }
    out.append(text, copied, std::string::npos);
    return out;
}

void OstrelAgent_Util::tokenize(const std::string& text, std::vector<std::string>& out,
                                const std::string& delimiter) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "tokenize");
    out.clear();
    if (delimiter.empty()) {
        // Nothing to split at: the whole text is one piece.
        if (!text.empty()) out.push_back(text);
        return;
    }
    size_t start = 0;
    for (;;) {
        size_t loc = text.find(delimiter, start);
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Looking for [%s] in [%s] - loc = %ld",
                         delimiter.c_str(), text.c_str() + start,
                         loc == std::string::npos ? -1L : static_cast<long>(loc));
        if (loc == std::string::npos) break;
        out.push_back(text.substr(start, loc - start));
        start = loc + delimiter.size();
    }
    if (start < text.size()) {
        std::string last = text.substr(start);
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Adding  [%s] ", last.c_str());
        out.push_back(last);
    }
}

std::string OstrelAgent_Util::scope_to_string(const qel_oid_s& scope_oid, const char* pathname,
                                              unsigned int gn) {
    char oid_text[QEL_OID_STR_SIZE];
    qel_oid_to_str(&scope_oid, oid_text);
    return OstrelAgent_Util::snprintf("scope oid =%s; scope pn = \"%s\"; scope_gn = %u", oid_text,
                                      pathname != nullptr ? pathname : "", gn);
}

bool OstrelAgent_Util::contains_pname_separator(const std::string& path) {
    return path.find(GLOBAL_PNAME_SEP) != std::string::npos;
}

bool OstrelAgent_Util::is_absolute_view_rel_path(const std::string& path) {
    return !path.empty() && path[0] == GLOBAL_PNAME_SEP;
}

void OstrelAgent_Util::globalize_path(std::string& path) {
    for (char& c : path) {
        if (c == LOCAL_PNAME_SEP) c = GLOBAL_PNAME_SEP;
    }
}

void OstrelAgent_Util::strip_leading_separators(std::string& path) {
    path.erase(0, path.find_first_not_of(GLOBAL_PNAME_SEP));
}

void OstrelAgent_Util::strip_trailing_pathname_separator(std::string& path) {
    if (!path.empty() && path.back() == GLOBAL_PNAME_SEP) path.pop_back();
}

std::string OstrelAgent_Util::parent(const std::string& path) {
    std::string global = path;
    globalize_path(global);
    size_t last = global.rfind(GLOBAL_PNAME_SEP);
    if (last == std::string::npos || last == 0) return std::string();
    return global.substr(0, last);
}

bool OstrelAgent_Util::paths_equal(const std::string& a, const std::string& b) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "paths_equal");
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Comparing %s and %s", a.c_str(), b.c_str());
    return a == b;
}

bool OstrelAgent_Util::climbs_above_start(const std::string& path) {
    long depth = 0;
    size_t at = 0;
    while (at <= path.size()) {
        size_t end = path.find(GLOBAL_PNAME_SEP, at);
        if (end == std::string::npos) end = path.size();
        const size_t length = end - at;
        if (length == 2 && path.compare(at, 2, "..") == 0) {
            if (--depth < 0) return true;
        } else if (length > 0 && !(length == 1 && path[at] == '.')) {
            ++depth;
        }
        at = end + 1;
    }
    return false;
}

std::string OstrelAgent_Util::sanitize_path(const std::string& path) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "sanitize_path");
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Sanitizing %s", path.c_str());
    const char sep = GLOBAL_PNAME_SEP;
    std::string result;
    result.reserve(path.size());
    bool pending_sep = false;
    size_t i = 0;
    const size_t n = path.size();
    while (i < n) {
        char c = path[i];
        if (c == sep) {
            pending_sep = true;
            ++i;
            continue;
        }
        bool starts_component = (i == 0 || path[i - 1] == sep);
        if (c == '.' && starts_component) {
            if (i + 1 == n) break; // a final "." and its separator go
            if (path[i + 1] == sep) {
                i += 2;
                while (i < n && path[i] == sep) ++i;
                // A "./" at the very start keeps the path relative.
                if (!result.empty() || pending_sep) pending_sep = true;
                continue;
            }
        }
        if (pending_sep) result += sep;
        pending_sep = false;
        result += c;
        ++i;
    }
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Result %s", result.c_str());
    return result;
}

bool OstrelAgent_Util::find_in_ancestors(const std::string& name, const std::string& start_dir) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "find_in_ancestors");
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_5, "Looking for %s starting at %s", name.c_str(),
                     start_dir.c_str());
    std::string dir = start_dir;
    globalize_path(dir);
    while (!dir.empty()) {
        std::string candidate = dir + GLOBAL_PNAME_SEP + name;
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_5, "Looking for %s", candidate.c_str());
        if (fileutl_exists(candidate.c_str(), 1)) {
            trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_5, "Found %s", candidate.c_str());
            return true;
        }
        dir = parent(dir);
    }
    return false;
}

std::string OstrelAgent_Util::server_from_url(const std::string& url) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "server_from_url");
    size_t begin = url.find("//");
    begin = (begin == std::string::npos) ? 0 : begin + 2;
    // The server ends at the first "/" after it, so a path of several
    // components does not leak into the name.
    size_t end = url.find(GLOBAL_PNAME_SEP, begin);
    if (end == std::string::npos) return url.substr(begin);
    return url.substr(begin, end - begin);
}

void OstrelAgent_Util::get_view_time(struct timeval* tv) {
    struct timeval now;
    date_get_timeval(&now);
    OstrelAgent_Mutex_Guard guard(g_view_time_mutex);
    if (now.tv_sec > g_view_time.tv_sec ||
        (now.tv_sec == g_view_time.tv_sec && now.tv_usec > g_view_time.tv_usec)) {
        g_view_time = now;
    } else {
        // The clock has not advanced, or went back: one microsecond on.
        g_view_time.tv_usec += 1;
        if (g_view_time.tv_usec >= 1000000) {
            g_view_time.tv_usec -= 1000000;
            g_view_time.tv_sec += 1;
        }
    }
    *tv = g_view_time;
}

void OstrelAgent_Util::uuid_oid_to_location(const qel_uuid_s* replica_uuid, const qel_oid_s* oid,
                                            char* buffer) {
    char oid_text[QEL_OID_STR_SIZE];
    char uuid_text[QEL_UUID_STR_SIZE];
    qel_oid_to_str(oid, oid_text);
    qel_uuid_to_str(replica_uuid, uuid_text);
    std::snprintf(buffer, LOCATION_BUFFER_SIZE, "oid:%s@replicauuid:%s", oid_text, uuid_text);
}

void OstrelAgent_Util::uuid_dbid_to_location(const qel_uuid_s* replica_uuid, long dbid,
                                             char* buffer) {
    char uuid_text[QEL_UUID_STR_SIZE];
    qel_uuid_to_dstr(replica_uuid, uuid_text);
    std::snprintf(buffer, LOCATION_BUFFER_SIZE, "%ld@replicauuid:%s", dbid, uuid_text);
}

char* OstrelAgent_Util::uuid_to_location(const qel_uuid_s* uuid, char* buffer) {
    return qel_uuid_to_dstr(uuid, buffer);
}

std::string OstrelAgent_Util::process_qualified_user() {
    char name[1024];
    if (sysutl_usid_to_user(credutl_getusid(), 3, nullptr, name, sizeof name) != 0) {
        return std::string();
    }
    return name;
}

std::string OstrelAgent_Util::process_user() {
    char name[1024];
    if (sysutl_usid_to_user(credutl_getusid(), 5, nullptr, name, sizeof name) != 0) {
        return std::string();
    }
    return name;
}

std::string OstrelAgent_Util::get_user_home() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "get_user_home");
    const char* login = sysutl_myloginname();
    if (login == nullptr) login = "";
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Getting home for user %s", login);
    std::string home;
    char buffer[1024];
    if (sysutl_get_homedir(login, buffer, sizeof buffer) == 1) {
        home = buffer;
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Got home for  %s = %s", login,
                         home.c_str());
    }
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Returning home = %s", home.c_str());
    return home;
}

void OstrelAgent_Util::set_socket_addr(const std::string& text, struct in_addr* addr) {
    unsigned int parts[4] = {0, 0, 0, 0};
    std::sscanf(text.c_str(), "%u.%u.%u.%u", &parts[0], &parts[1], &parts[2], &parts[3]);
    unsigned char* bytes = reinterpret_cast<unsigned char*>(&addr->s_addr);
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<unsigned char>(parts[i] & 0xff);
}

int OstrelAgent_Util::is_dir_empty(const std::string& path, int& is_empty) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "is_dir_empty");
    DIR* dir = fileutl_opendir(path.c_str());
    if (dir == nullptr) return OstrelAgent_Status::OPENDIR_FAILED;
    is_empty = 1;
    while (struct dirent* entry = readdir(dir)) {
        if (std::strcmp(entry->d_name, DOT) == 0 || std::strcmp(entry->d_name, DOT_DOT) == 0) continue;
        is_empty = 0;
        break;
    }
    closedir(dir);
    return 0;
}

bool OstrelAgent_Util::korva_is_case_sensitive() { return true; }

bool OstrelAgent_Util::parse_hijack_treatment(std::string text, HijackTreatment& treatment) {
    if (text == KEEP) {
        treatment = HIJACK_KEEP;
    } else if (text == OVERWRITE) {
        treatment = HIJACK_OVERWRITE;
    } else if (text == RENAME) {
        treatment = HIJACK_RENAME;
    } else {
        return false;
    }
    return true;
}

void OstrelAgent_Util::ostrela_assert(int, const char*, int, const char*) {}

int OstrelAgent_Util::write_whole_file(const std::string& dir, const std::string& path, const std::string& content,
                                        const char* temp_prefix) {
    // Room for any path the system takes, not only for the library's usual
    // path size: a long storage path is still a valid one.
    char temp[PATH_MAX];
    int fd = fileutl_tmpfile_ext_binary(dir.c_str(), temp_prefix, temp, sizeof temp);
    if (fd < 0) return errno != 0 ? errno : EIO;
    int error = 0;
    mode_t mask = 022;
    sysutl_get_umask(&mask);
    if (fchmod(fd, 0666 & ~mask) != 0) error = errno;
    const char* data = content.data();
    size_t left = content.size();
    while (error == 0 && left > 0) {
        ssize_t written = write(fd, data, left);
        if (written < 0) {
            if (errno != EINTR) error = errno;
            continue;
        }
        data += written;
        left -= static_cast<size_t>(written);
    }
    if (error == 0 && fsync(fd) != 0) error = errno;
    if (close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && rename(temp, path.c_str()) != 0) error = errno;
    if (error != 0) {
        unlink(temp);
        return error;
    }
    // The rename itself reaches the disk with the directory; a file system
    // that cannot synchronise a directory still holds a whole file.
    int dir_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd >= 0) {
        fsync(dir_fd);
        close(dir_fd);
    }
    return 0;
}

std::string OstrelAgent_Util::id_text(const qel_oid_s& oid) {
    char text[QEL_OID_STR_SIZE];
    return qel_oid_to_str(&oid, text);
}

std::string OstrelAgent_Util::id_text(const qel_uuid_s& uuid) {
    char text[QEL_UUID_STR_SIZE];
    return qel_uuid_to_str(&uuid, text);
}
