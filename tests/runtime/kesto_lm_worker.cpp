// A process of the multi-process tests: opens the people database of a
// directory in a shared mode and runs commands read one a line from
// standard input, answering each with one line "= STATUS [VALUE]" on
// standard output (lines starting "+" or "?" before it report a random
// run's commits). Engine messages go to standard error.
//
//   kesto_lm_worker DIR
//   open MODE [journal] [limit BYTES]   timeout SECONDS
//   begin | commit | abort | close | checkpoint | freeall
//   lock ITEM TYPE | free ITEM
//   get NAME | set NAME AGE | add NAME AGE
//   count NAME TIMES        TIMES transactions adding 1 to NAME's age
//   churn PREFIX SIZE TIMES TIMES transactions adding SIZE people, then
//                           removing them again
//   random SEED OPS PREFIX  a random mix of locked reads, writes, commits
//                           and aborts on people named PREFIX0..PREFIX7
//   die-in-commit           commits and is killed while the commit's pages
//                           are copied into the database files
//   hold                    waits until killed
//   exit
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <random>
#include <sstream>
#include <string>

#include "kesto_trans_fixture.h"

namespace {

using namespace kesto_test;

// ---- the kill during a commit's copy ----

bool armed = false;
bool activity_written = false;
std::map<int, std::string> names;

bool ends_with(const std::string &s, const char *tail) {
  const size_t n = std::strlen(tail);
  return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

int k_open(const char *path, int flags, mode_t mode) {
  int fd = kesto_io_default()->open(path, flags, mode);
  if (fd >= 0) names[fd] = path;
  return fd;
}

ssize_t k_pwrite(int fd, const void *buf, size_t len, off_t off) {
  if (armed) {
    const std::string &name = names[fd];
    if (ends_with(name, "kesto.taf")) activity_written = true;
    else if (activity_written && (ends_with(name, ".d00") || ends_with(name, ".k00"))) raise(SIGKILL);
  }
  return kesto_io_default()->pwrite(fd, buf, len, off);
}

kesto_io_methods methods;

// ---- commands ----

int find(const std::string &name, db_address *dba) {
  char key[20] = {};
  std::snprintf(key, sizeof key, "%s", name.c_str());
  int status = dt_keyfind(NAME, key, nullptr, 0);
  if (status == S_OKAY) dt_crget(dba, nullptr, 0);
  return status;
}

int get_age(const std::string &name, int *age) {
  db_address dba;
  int status = find(name, &dba);
  if (status != S_OKAY) return status;
  PersonData d{};
  status = dt_recread(&d, nullptr, 0);
  *age = d.age;
  return status;
}

int set_person_age(const std::string &name, int age) {
  db_address dba;
  int status = find(name, &dba);
  return status == S_OKAY ? set_age(dba, age) : status;
}

int lock(int item, char type) {
  LOCK_REQUEST r{item, type};
  return dt_lock(1, &r, nullptr, 0);
}

int free_item(int item) {
  if (item >= 30000) return dt_keyfree(item - 30000, nullptr, 0);
  if (item >= SET_BASE) return dt_setfree(item, nullptr, 0);
  return dt_recfree(item, nullptr, 0);
}

// Locks the people for writing (or for writing at commit), retrying a
// request refused for the moment.
int lock_for_writing(char type) {
  for (int attempt = 0;; ++attempt) {
    int status = lock(PERSON, type);
    if (status != S_UNAVAIL || attempt >= 50) return status;
  }
}

int count(const std::string &name, int times) {
  for (int i = 0; i < times; ++i) {
    int age = 0, status;
    if ((status = dt_trbegin("count", nullptr)) != S_OKAY) return status;
    if ((status = lock_for_writing('w')) != S_OKAY || (status = get_age(name, &age)) != S_OKAY ||
        (status = set_person_age(name, age + 1)) != S_OKAY) {
      dt_trabort(nullptr);
      return status;
    }
    if ((status = dt_trend(nullptr)) != S_OKAY) return status;
  }
  return S_OKAY;
}

int churn(const std::string &prefix, int size, int times) {
  for (int i = 0; i < times; ++i) {
    for (int phase = 0; phase < 2; ++phase) {
      int status;
      if ((status = dt_trbegin("churn", nullptr)) != S_OKAY) return status;
      if ((status = lock_for_writing('w')) != S_OKAY) {
        dt_trabort(nullptr);
        return status;
      }
      for (int k = 0; k < size && status == S_OKAY; ++k) {
        const std::string name = prefix + std::to_string(k) + "_with_a_longish_name";
        db_address dba;
        status = phase == 0 ? add_person(name.substr(0, 19), k, "Kotka") : find(name.substr(0, 19), &dba);
        if (phase == 1 && status == S_OKAY) status = remove_record(dba);
      }
      if (status != S_OKAY) {
        dt_trabort(nullptr);
        return status;
      }
      if ((status = dt_trend(nullptr)) != S_OKAY) return status;
    }
  }
  return S_OKAY;
}

// A random run on the worker's own people. Each commit is announced with
// "? NAME VALUE" before it starts and confirmed with "+ NAME VALUE" once it
// returned (VALUE "-" for a person removed).
int random_run(unsigned seed, int ops, const std::string &prefix) {
  std::mt19937 rng(seed);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  for (int op = 0; op < ops; ++op) {
    const std::string name = prefix + std::to_string(pick(8));
    int status;
    if (pick(10) < 3) {
      // A locked read, outside a transaction.
      int age;
      if ((status = lock(PERSON, 'r')) == S_UNAVAIL) continue;
      if (status != S_OKAY) return status;
      status = get_age(name, &age);
      if (status < 0) return status;
      if ((status = dt_recfree(PERSON, nullptr, 0)) != S_OKAY) return status;
      continue;
    }
    if ((status = dt_trbegin("random", nullptr)) != S_OKAY) return status;
    if ((status = lock_for_writing(pick(2) ? 'w' : 'i')) != S_OKAY) {
      dt_trabort(nullptr);
      if (status == S_UNAVAIL) continue;
      return status;
    }
    db_address dba;
    std::string value;
    status = find(name, &dba);
    if (status == S_NOTFOUND) {
      const int age = pick(1000);
      status = add_person(name, age, "Rauma");
      value = std::to_string(age);
    } else if (status == S_OKAY && pick(5) == 0) {
      status = remove_record(dba);
      value = "-";
    } else if (status == S_OKAY) {
      const int age = pick(1000);
      status = set_age(dba, age);
      value = std::to_string(age);
    }
    if (status != S_OKAY) {
      dt_trabort(nullptr);
      return status;
    }
    if (pick(6) == 0) {
      if ((status = dt_trabort(nullptr)) != S_OKAY) return status;
      continue;
    }
    std::printf("? %s %s\n", name.c_str(), value.c_str());
    std::fflush(stdout);
    // A refused upgrade leaves the transaction to abort.
    status = dt_trend(nullptr);
    if (status == S_UNAVAIL) {
      dt_trabort(nullptr);
      std::printf("- %s\n", name.c_str());
      continue;
    }
    if (status != S_OKAY) return status;
    std::printf("+ %s %s\n", name.c_str(), value.c_str());
    std::fflush(stdout);
  }
  return S_OKAY;
}

void answer(int status, const std::string &value = "") {
  std::printf("= %d%s%s\n", status, value.empty() ? "" : " ", value.c_str());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: kesto_lm_worker DIR\n");
    return 1;
  }
  methods = *kesto_io_default();
  methods.open = k_open;
  methods.pwrite = k_pwrite;
  kesto_io_install(&methods);
  if (dt_dbwdir(argv[1], nullptr) != S_OKAY) return 1;

  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream in(line);
    std::string cmd;
    in >> cmd;
    if (cmd == "open") {
      std::string mode, word;
      in >> mode;
      int32_t limit = 0;
      while (in >> word) {
        if (word == "journal") dt_on_opt(OPT_JOURNAL, nullptr);
        if (word == "limit") in >> limit;
      }
      int status = dt_open("people", mode.c_str(), nullptr);
      if (status == S_OKAY && limit) status = dt_settjfsize(limit, nullptr);
      answer(status);
    } else if (cmd == "timeout") {
      int s = 0;
      in >> s;
      answer(dt_timeout(s, nullptr));
    } else if (cmd == "begin") {
      answer(dt_trbegin("worker", nullptr));
    } else if (cmd == "commit") {
      answer(dt_trend(nullptr));
    } else if (cmd == "abort") {
      answer(dt_trabort(nullptr));
    } else if (cmd == "close") {
      answer(dt_close(nullptr));
    } else if (cmd == "checkpoint") {
      answer(dt_checkpoint(nullptr));
    } else if (cmd == "freeall") {
      answer(dt_freeall(nullptr));
    } else if (cmd == "lock") {
      int item = 0;
      char type = 0;
      in >> item >> type;
      answer(lock(item, type));
    } else if (cmd == "free") {
      int item = 0;
      in >> item;
      answer(free_item(item));
    } else if (cmd == "get") {
      std::string name;
      in >> name;
      int age = 0;
      int status = get_age(name, &age);
      answer(status, status == S_OKAY ? std::to_string(age) : "");
    } else if (cmd == "set" || cmd == "add") {
      std::string name;
      int age = 0;
      in >> name >> age;
      answer(cmd == "set" ? set_person_age(name, age) : add_person(name, age, "Kemi"));
    } else if (cmd == "count") {
      std::string name;
      int times = 0;
      in >> name >> times;
      answer(count(name, times));
    } else if (cmd == "churn") {
      std::string prefix;
      int size = 0, times = 0;
      in >> prefix >> size >> times;
      answer(churn(prefix, size, times));
    } else if (cmd == "random") {
      unsigned seed = 0;
      int ops = 0;
      std::string prefix;
      in >> seed >> ops >> prefix;
      answer(random_run(seed, ops, prefix));
    } else if (cmd == "die-in-commit") {
      armed = true;
      answer(dt_trend(nullptr));
    } else if (cmd == "hold") {
      answer(0);
      pause();
    } else if (cmd == "exit") {
      answer(dt_close(nullptr));
      return 0;
    } else {
      answer(-1, "unknown command");
    }
  }
  dt_close(nullptr);
  return 0;
}
