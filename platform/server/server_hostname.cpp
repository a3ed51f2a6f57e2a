// The host-name file: which host a view storage belongs to, and who made it.
//
//   host=<host name>
//   user=<sid text>        (when the credentials were given)
//   group=<sid text>
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/server/server.h"

namespace {

std::string fileOf(const char* storage) { return std::string(storage) + "/" + SERVER_HOSTNAME_FILE; }

int writeAll(int fd, const std::string& content) {
  size_t done = 0;
  while (done < content.size()) {
    ssize_t n = write(fd, content.data() + done, content.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    done += static_cast<size_t>(n);
  }
  return 0;
}

// Writes `path` whole through a temporary file in the same directory.
int replaceFile(const std::string& path, const std::string& content) {
  std::string temp = path + ".tmp." + std::to_string(getpid());
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  int result = writeAll(fd, content);
  if (result == 0) result = fsync(fd);
  int error = errno;
  if (close(fd) != 0 && result == 0) {
    result = -1;
    error = errno;
  }
  if (result == 0 && rename(temp.c_str(), path.c_str()) != 0) {
    result = -1;
    error = errno;
  }
  if (result != 0) {
    unlink(temp.c_str());
    errno = error;
  }
  return result;
}

bool appendSid(std::string* content, const char* key, const credutl_sid_t* sid) {
  char text[CREDUTL_SID_STR_MAX + 1];
  if (credutl_sid_to_str(sid, text, sizeof text) != 0) return false;
  *content += std::string(key) + "=" + text + "\n";
  return true;
}

}  // namespace

int server_create_hostname_file(const char* storage, const char* hostname,
                                const credutl_sid_credentials_t* creds) {
  if (storage == nullptr || hostname == nullptr || hostname[0] == '\0' ||
      std::strlen(hostname) >= SERVER_HOSTNAME_SIZE || std::strpbrk(hostname, "\r\n") != nullptr) {
    errno = EINVAL;
    return -1;
  }
  std::string content = std::string("host=") + hostname + "\n";
  if (creds != nullptr &&
      (!appendSid(&content, "user", &creds->user_sid) || !appendSid(&content, "group", &creds->group_sid))) {
    errno = EINVAL;
    return -1;
  }
  return replaceFile(fileOf(storage), content);
}

int server_validate_hostname(const char* storage, char* registered) {
  if (registered != nullptr) registered[0] = '\0';
  if (storage == nullptr || registered == nullptr) {
    errno = EINVAL;
    return -1;
  }
  int fd = open(fileOf(storage).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  char content[1024];
  ssize_t n;
  do {
    n = read(fd, content, sizeof content - 1);
  } while (n < 0 && errno == EINTR);
  int error = errno;
  close(fd);
  if (n < 0) {
    errno = error;
    return -1;
  }
  content[n] = '\0';
  if (std::strncmp(content, "host=", 5) != 0) {
    errno = EINVAL;
    return -1;
  }
  const char* host = content + 5;
  size_t length = std::strcspn(host, "\n");
  if (length == 0) {
    errno = EINVAL;
    return -1;
  }
  if (length >= SERVER_HOSTNAME_SIZE) length = SERVER_HOSTNAME_SIZE - 1;
  std::memcpy(registered, host, length);
  registered[length] = '\0';

  char mine[SERVER_HOSTNAME_SIZE + 1];
  if (gethostname(mine, sizeof mine) != 0) return -1;
  mine[SERVER_HOSTNAME_SIZE] = '\0';
  return strcasecmp(mine, registered) == 0 ? 1 : 0;
}
