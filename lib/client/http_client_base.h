#pragma once
// One HTTP request of the remote client over one transfer handle borrowed
// from the session's pool: the handle's options in a fixed order (TLS
// included), the request's header lines and form fields, the transfer, and
// its outcome as a transport status:
//
//   0      HTTP 200 or 201
//   30001  any other HTTP status (message 12 with the code)
//   30002  HTTP 401 or 403 (message 2)
//   30003  the transfer library failed: an option, the form, the
//          connection, TLS, a time limit, or a reader that refused data
//   30004  HTTP 404 (message 3)
//
// A transfer that ends early after its header (a partial body) counts as
// complete; the reply reader finds what is missing. Every failure leaves
// its text in get_error_message(); nothing is thrown.
//
// The reply body goes piece by piece, as it arrives, to the reader given as
// `write_data` (an RClient_CB); the reply's header lines (the status line
// included, without CR LF) go to the caller's list. An error answer's body
// reaches the reader too.
//
// Calling order: construct, init, add_header and add_request_field,
// execute, read the response headers, destroy (which resets the handle and
// gives it back to the pool). One object serves one request on one thread.

#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <list>
#include <string>

class RClient_Session;

struct request_part {
    std::string name;
    std::string value;
};

class Http_Client_Base {
public:
    static constexpr int METHOD_GET = 0;
    static constexpr int METHOD_POST = 1;

    // Time limits of every transfer: connecting (TLS handshake included),
    // and a stall (no byte sent or received for that long), which fails
    // like a library time-out (28). A peer that goes silent would otherwise
    // hold the calling thread for ever.
    static constexpr long DEFAULT_CONNECT_SECONDS = 60;
    static constexpr long DEFAULT_STALL_SECONDS = 300;
    static void set_time_limits(long connect_seconds, long stall_seconds);

    // The process is ending: every transfer under way is cut at once (it
    // fails as one that the library stopped, 30003), and every transfer
    // begun afterwards (the logout) may take SHUTDOWN_TRANSFER_SECONDS in
    // all, connecting included, so that a server that does not answer
    // cannot hold the end. It stays so for the process.
    static constexpr long SHUTDOWN_TRANSFER_SECONDS = 5;
    static void cancel_transfers();

    Http_Client_Base(int method, const std::string& url, RClient_Session* session,
                     const std::string& keystore_path, const std::string& keystore_password,
                     void* write_data, std::list<std::string>* response_headers);
    virtual ~Http_Client_Base();

    Http_Client_Base(const Http_Client_Base&) = delete;
    Http_Client_Base& operator=(const Http_Client_Base&) = delete;

    // Empties the header lines and the caller's response-header list, then
    // sets the handle's options. 0 or 30003.
    int init();
    // A whole header line, "Name:value"; "Name:" alone removes a header the
    // transfer library would add by itself. Only after init.
    void add_header(const std::string& line);
    // A form field of a POST; a GET ignores it.
    virtual void add_request_field(const std::string& name, const std::string& value) = 0;
    // Sends the request through an HTTP proxy (after init): the host when
    // not empty, the port, and the user and password when the user is not
    // empty. 0 or 30003.
    int set_proxy(const std::string& host, int port, const std::string& user,
                  const std::string& password);
    // Runs the request: the status above.
    int execute();

    std::list<std::string>* get_response_headers() const { return m_response_headers; }
    const std::string& get_error_message() const { return m_error_message; }
    // 1 once the transfer has returned, whatever its outcome: a reply
    // reader tells a reply still arriving from a finished one by it.
    int get_performed() const { return m_performed; }

protected:
    // Hands the form to the handle: 0 or 30003.
    virtual int set_additional_args() = 0;

    // Sets one option; on failure stores message 0 and the library's text.
    template <typename T>
    bool set_option(CURLoption option, T value) {
        CURLcode rc = curl_easy_setopt(m_curl_handle, option, value);
        if (rc != CURLE_OK) option_failed(rc, option);
        return rc == CURLE_OK;
    }
    void option_failed(CURLcode rc, CURLoption option);

    std::list<request_part> m_request_parts;
    CURL* m_curl_handle;
    std::string m_error_message;

private:
    int set_keystore_options();
    static size_t body_callback(char* data, size_t size, size_t count, void* write_data);
    static size_t header_callback(char* data, size_t size, size_t count, void* headers);
    static int progress_callback(void* self, curl_off_t download_total, curl_off_t download_now,
                                 curl_off_t upload_total, curl_off_t upload_now);

    int m_performed = 0;
    int m_method;
    std::string m_url;
    std::list<std::string> m_headers;
    char m_error_buffer[CURL_ERROR_SIZE];
    void* m_write_data;
    std::list<std::string>* m_response_headers;
    curl_slist* m_header_list = nullptr;
    RClient_Session* m_session;
    std::string m_keystore_path;
    std::string m_keystore_password;
    // The stall watch: bytes moved so far, when that last changed, the limit.
    curl_off_t m_progress_bytes = -1;
    std::chrono::steady_clock::time_point m_progress_time;
    std::chrono::seconds m_stall_limit{0};
    bool m_stalled = false;
    // Begun after cancel_transfers: bounded in time instead of cut.
    bool m_bounded = false;

    static std::atomic<long> g_connect_seconds;
    static std::atomic<long> g_stall_seconds;
    static std::atomic<bool> g_cancelled;
};
