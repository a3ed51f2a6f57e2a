// The engine's environment (read at each open) and the construction of file
// names from the dictionary, file and working-directory paths.
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "runtime/kesto_internal.h"

namespace {

bool ends_with(const char *s, char c) {
  size_t n = std::strlen(s);
  return n > 0 && s[n - 1] == c;
}

void append_slash(char *s) {
  if (*s && !ends_with(s, '/')) std::strcat(s, "/");
}

}  // namespace

void vpathcpy(char *dst, const char *src, size_t size) {
  if (size == 0) return;
  std::strncpy(dst, src, size - 1);
  dst[size - 1] = '\0';
}

int initenv() {
  if (db_enter(-2, nullptr) != S_OKAY) return db_status;
  db_task &t = kt();
  const char *v;

  if (!t.dbdpath[0] && (v = std::getenv("DBDPATH"))) {
    if (std::strlen(v) > 2045) return dberr_code(S_NAMELEN, 472);
    std::strcpy(t.dbdpath, v);
  }
  if (!t.dbfpath[0] && (v = std::getenv("DBFPATH"))) {
    if (std::strlen(v) > 2048) return dberr_code(S_NAMELEN, 473);
    std::strcpy(t.dbfpath, v);
  }
  if (!t.dbwdir[0] && (v = std::getenv("DBWDIR"))) {
    if (std::strlen(v) > 1023) return dberr_code(S_NAMELEN, 474);
    std::strcpy(t.dbwdir, v);
    append_slash(t.dbwdir);
  }
  if (!t.ctbpath[0] && (v = std::getenv("CTBPATH"))) {
    if (std::strlen(v) >= sizeof t.ctbpath) return dberr_code(S_NAMELEN, 475);
    std::strcpy(t.ctbpath, v);
  }
  if (t.ctbpath[0] && !ends_with(t.ctbpath, '/') && !ends_with(t.ctbpath, ':')) {
    if (std::strlen(t.ctbpath) + 1 > 1023) return dberr_code(S_NAMELEN, 475);
    std::strcat(t.ctbpath, "/");
  }
  if (std::strlen(t.ctbpath) > 1023) return dberr_code(S_NAMELEN, 475);

  if (!t.user_id[0]) {
    if ((v = std::getenv("DBUSERID"))) {
      if (std::strlen(v) > 1024) return dberr_code(S_NAMELEN, 700, "DBUSERID");
      std::strcpy(t.user_id, v);
    } else if (t.use_lockmgr) {
      return dberr_code(S_USERID, 476);
    } else {
      std::strcpy(t.user_id, "kesto");
    }
  }
  // An empty DBUSERID cannot name an overflow file either.
  if (!t.user_id[0]) return dberr_code(S_USERID, 476);
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(t.user_id); *p; ++p) {
    if (*p & 0x80) return dberr_code(S_BADUSERID, 478);
    if (!std::isalnum(*p) && *p != '_') return dberr_code(S_BADUSERID, 477);
  }

  if (!t.log_name[0] && (v = std::getenv("DBLOG"))) {
    if (std::strlen(v) > 1024) return dberr_code(S_NAMELEN, 701, "DBLOG");
    std::strcpy(t.log_name, v);
  }

  if (!t.taf_name[0]) {
    v = std::getenv("DBTAF");
    if (!v) v = "";
    if (std::strlen(v) > 1015) return dberr_code(S_NAMELEN, 702, "DBTAF");
    // The value names a directory: file names are never built from anything
    // else.
    if (*v && !ends_with(v, '/'))
      return dberr_code(S_DBLERR, 703, "DBTAF must name a directory ending in '/': %s", v);
    std::strcpy(t.taf_name, v);
    std::strcat(t.taf_name, "kesto.taf");
    std::strcpy(t.tcf_name, v);
    std::strcat(t.tcf_name, "kesto.tcf");
    std::strcpy(t.tjf_name, v);
    std::strcat(t.tjf_name, "kesto.tjf");
  }

  if (!t.lockmgr_name[0]) {
    if ((v = std::getenv("LOCKMGR"))) {
      if (std::strlen(v) > 1023) return dberr_code(S_NAMELEN, 479);
      std::strcpy(t.lockmgr_name, v);
    } else {
      std::strcpy(t.lockmgr_name, "lockmgr");
    }
  }
  return db_status = S_OKAY;
}

int dt_ctbpath(const char *path, DB_TASK *task) {
  if (db_enter(-2, task) != S_OKAY) return db_status;
  db_task &t = kt();
  if (t.open_state) return dberr_code(S_DBOPEN, 352);
  if (std::strlen(path) > 1023) return dberr_code(S_NAMELEN, 353);
  std::strcpy(t.ctbpath, path);
  append_slash(t.ctbpath);
  return db_status = S_OKAY;
}

int dt_dbwdir(const char *dir, DB_TASK *task) {
  if (db_enter(-2, task) != S_OKAY) return db_status;
  db_task &t = kt();
  if (t.open_state) return dberr_code(S_DBOPEN, 165);
  if (std::strlen(dir) > 1023) return dberr_code(S_NAMELEN, 166);
  std::strcpy(t.dbwdir, dir);
  append_slash(t.dbwdir);
  return db_status = S_OKAY;
}

int dt_dbdpath(const char *path, DB_TASK *task) {
  if (db_enter(-2, task) != S_OKAY) return db_status;
  db_task &t = kt();
  if (t.open_state) return dberr_code(S_DBOPEN, 163);
  if (std::strlen(path) > 1020) return dberr_code(S_NAMELEN, 164);
  std::strcpy(t.dbdpath, path);
  return db_status = S_OKAY;
}

const char *get_element(const char *list, int index) {
  static char element[2051];
  if (!list || !*list) return nullptr;
  const char *start = list;
  for (int i = 0;; ++i) {
    const char *semi = std::strchr(start, ';');
    size_t len = semi ? static_cast<size_t>(semi - start) : std::strlen(start);
    if (i == index || !semi) {
      if (len == 0) return nullptr;
      if (len > sizeof element - 2) len = sizeof element - 2;
      std::memcpy(element, start, len);
      element[len] = '\0';
      append_slash(element);
      return element;
    }
    start = semi + 1;
  }
}

int prefix_dbwdir(char *name) {
  const char *wdir = kt().dbwdir;
  // An absolute name stands for itself wherever the working directory is.
  if (!wdir[0] || name[0] == '/') return S_OKAY;
  if (std::strlen(wdir) + std::strlen(name) > 1024) return dberr_code(S_NAMELEN, 350);
  char joined[PATHLEN];
  std::strcpy(joined, wdir);
  std::strcat(joined, name);
  std::strcpy(name, joined);
  return S_OKAY;
}

const char *strip_dbwdir(const char *name) {
  static char stripped[PATHLEN];
  const char *wdir = kt().dbwdir;
  size_t n = std::strlen(wdir);
  if (n && std::strncmp(name, wdir, n) == 0) {
    vpathcpy(stripped, name + n, sizeof stripped);
    return stripped;
  }
  if (!n || name[0] == '/') {
    // An absolute name was left as it stood.
    vpathcpy(stripped, name, sizeof stripped);
    return stripped;
  }
  // Every name given here was made by prefix_dbwdir.
  dberr_code(S_SYSERR, 351, "%s", name);
  std::abort();
}

int con_dbd(char *out, const char *name, const char *element) {
  char built[PATHLEN + 8];
  if (name[0] != '/' && element && *element) {
    char dir[PATHLEN + 2];
    size_t n = std::strlen(element);
    if (n >= 1021) return db_status = S_NAMELEN;
    std::strcpy(dir, element);
    append_slash(dir);
    if (std::strlen(dir) + std::strlen(name) >= 1021) return db_status = S_NAMELEN;
    std::strcpy(built, dir);
    std::strcat(built, name);
  } else {
    if (std::strlen(name) >= 1021) return db_status = S_NAMELEN;
    std::strcpy(built, name);
  }
  std::strcat(built, ".dbd");
  std::strcpy(out, built);
  if (prefix_dbwdir(out) != S_OKAY) return db_status;
  return S_OKAY;
}

int con_dbf(char *out, const char *file_name, const char *dictionary_name, const char *element) {
  char built[2 * PATHLEN];
  std::strcpy(built, file_name);
  if (file_name[0] != '/') {
    const char *slash = std::strrchr(dictionary_name, '/');
    if (slash) {
      size_t dirlen = static_cast<size_t>(slash - dictionary_name) + 1;
      if (dirlen + std::strlen(file_name) > 1024) return db_status = S_NAMELEN;
      std::memcpy(built, dictionary_name, dirlen);
      std::strcpy(built + dirlen, file_name);
    } else if (element && *element) {
      char dir[PATHLEN + 2];
      if (std::strlen(element) > 1023) return db_status = S_NAMELEN;
      std::strcpy(dir, element);
      if (!ends_with(dir, '/') && !ends_with(dir, ';')) std::strcat(dir, "/");
      if (std::strlen(dir) + std::strlen(file_name) > 1024) return db_status = S_NAMELEN;
      std::strcpy(built, dir);
      std::strcat(built, file_name);
    }
  }
  if (std::strlen(built) > 1024) return db_status = S_NAMELEN;
  std::strcpy(out, built);
  if (prefix_dbwdir(out) != S_OKAY) return db_status;
  return S_OKAY;
}
