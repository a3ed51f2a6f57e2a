#pragma once
// Runs the fake remote server (fakeserver.py) for a test: started on a free
// port of 127.0.0.1 with a scenario the test writes, waited for until it is
// ready (with a time-out), its JSON log read back, and stopped and cleaned
// up when the object goes away, also when the test fails. A server outlives
// a crashed test by at most its --max-seconds: it stops when the process
// that started it is gone.
//
// The certificates come from make_certs.sh, made once per build and kept in
// the build tree (or, where that cannot be written, once per process in a
// directory removed at exit). Records the server encodes are kept there
// too, by the scenario's records, so that most servers start without
// running the blob tool.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "fakeserver/json_value.h"

namespace fakeserver {

// The files of make_certs.sh.
struct Certificates {
    std::string dir;              // empty when they could not be made
    std::string ca;               // the test CA (also dir + "/cacert.pem")
    std::string server_cert;      // localhost, signed by the CA
    std::string server_key;
    std::string wrong_cert;       // wrong.invalid, signed by the CA, the server key
    std::string untrusted_cert;   // localhost, self-signed, the server key
    std::string server_public;    // the server's public key, DER
    std::string other_public;     // an unrelated public key, DER
    std::string error;            // why they could not be made
};
const Certificates& certificates();

class Fake_Server {
public:
    struct Options {
        std::string cert;                             // default: certificates().server_cert
        std::string key;                              // default: certificates().server_key
        std::chrono::milliseconds start_timeout{60000};
    };

    // Starts the server; ok() tells whether it became ready.
    explicit Fake_Server(const std::string& scenario_json);
    Fake_Server(const std::string& scenario_json, const Options& options);
    ~Fake_Server();

    Fake_Server(const Fake_Server&) = delete;
    Fake_Server& operator=(const Fake_Server&) = delete;

    bool ok() const { return m_port > 0; }
    // Why it did not start, with what it printed.
    const std::string& error() const { return m_error; }
    int port() const { return m_port; }
    // "https://localhost:PORT" + base.
    std::string url(const std::string& base = "/ostrel") const;

    // Every record of the log, in order; the request records only (logged
    // when a request has arrived; "request_end" records follow when their
    // answers end).
    std::vector<Json> log() const;
    std::vector<Json> requests() const;
    // Waits until `done` holds for the log, at most `timeout`; whether it
    // came to hold.
    bool wait_for_log(const std::function<bool(const std::vector<Json>&)>& done,
                      std::chrono::milliseconds timeout = std::chrono::milliseconds(30000)) const;

    // Replaces the scenario (by a rename, so that it is never read half
    // written): the server answers by it from its next request on. False
    // when it could not be written.
    bool rewrite(const std::string& scenario_json) const;

    // The directory of the gates that a "hold" fault waits for, and the
    // opening of one.
    std::string gate_dir() const { return m_dir + "/gates"; }
    void open_gate(const std::string& name) const;
    // What the server printed on its standard output and error.
    std::string output() const;

    // Stops the server (TERM, then KILL after a few seconds) and waits for
    // it. The log stays readable until the object goes away.
    void stop();

private:
    void start(const std::string& scenario_json, const Options& options);

    std::string m_dir;
    pid_t m_pid = -1;
    int m_port = 0;
    std::string m_error;
};

// The header lines of a request record whose name is `name` (any case).
std::vector<std::string> header_lines(const Json& request, const std::string& name);
// A list of lists of texts, such as a request's "form" or "rpcargs" (a
// bare argument is a list of one).
std::vector<std::vector<std::string>> string_rows(const Json& list);
// The number of distinct connections that carried requests.
size_t connection_count(const std::vector<Json>& requests);

} // namespace fakeserver
