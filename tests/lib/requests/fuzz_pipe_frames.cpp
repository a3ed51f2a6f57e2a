// libFuzzer target over a client connection's request frames: the input is
// what a client writes into its request pipe before it closes its end, read
// frame by frame by the connection's request reader as the daemon reads it
// (real FIFOs, the thread manager's waits).
//
// Whatever the bytes, nothing may crash or leak (the sanitizers check), the
// reading must end once the bytes do, and no request may hold more than
// the bytes written.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_thread_manager_base.h"
#include "lib/lib_test_support.h"
#include "lib/requests/ostrelagent_client.h"
#include "lib/requests/ostrelagent_conn_handler_unix.h"
#include "lib/requests/ostrelagent_request_handler_unix.h"

namespace {

namespace S = OstrelAgent_Status;

// What the run shares: the thread manager (its shutdown pipe ends waits)
// and a directory for the pipes.
struct Process_Setup {
    Process_Setup() {
        ::signal(SIGPIPE, SIG_IGN);
        if (OstrelAgent_Thread_Manager_Base::get_instance()->initialize() != 0) std::abort();
        request_pipe = home.path() + "/request_f";
        response_pipe = home.path() + "/response_f";
    }
    lib_test::TempHome home;
    std::string request_pipe;
    std::string response_pipe;
};

Process_Setup& setup() {
    static Process_Setup* const made = new Process_Setup;
    return *made;
}

bool write_all(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Process_Setup& at = setup();
    if (OstrelAgent_Conn_Handler_Unix::create_pipe(at.request_pipe) != 0 ||
        OstrelAgent_Conn_Handler_Unix::create_pipe(at.response_pipe) != 0)
        std::abort();
    OstrelAgent_Client* client = new OstrelAgent_Client();
    client->set_client_id("f");
    client->set_request_pipe(at.request_pipe);
    client->set_response_pipe(at.response_pipe);
    std::unique_ptr<OstrelAgent_Request_Handler_Unix> handler(new OstrelAgent_Request_Handler_Unix(client, nullptr));
    // The client's ends; the pipe holds the whole input, then its end.
    const int reader = ::open(at.response_pipe.c_str(), O_RDONLY | O_NONBLOCK);
    const int writer = ::open(at.request_pipe.c_str(), O_RDWR);
    if (reader < 0 || writer < 0 || ::fcntl(writer, F_SETPIPE_SZ, 1 << 20) < 0) std::abort();
    if (!write_all(writer, reinterpret_cast<const uint8_t*>("0\n"), 2)) std::abort();
    std::string request;
    if (handler->read_request(request) != 0 || !request.empty()) std::abort();
    if (!write_all(writer, data, size)) std::abort();
    ::close(writer);

    for (size_t frames = 0;; ++frames) {
        request.clear();
        const int status = handler->read_request(request);
        if (status != 0 && status != S::MALFORMED_REQUEST) break;
        if (request.size() > size || frames > size + 1) {
            std::fprintf(stderr, "frame %zu: a request of %zu bytes from %zu\n", frames, request.size(), size);
            std::abort();
        }
    }
    handler.reset();
    ::close(reader);
    std::remove(at.request_pipe.c_str());
    std::remove(at.response_pipe.c_str());
    return 0;
}
