// libFuzzer target over the kernel request loop: the input is one packet
// (header and body) as a kernel request thread receives it from the view's
// message channel, handled by the loop's turn (decode, namespace operation,
// reply) on a served view: a real view database, namespace cache and
// simulated kernel, "/vobs/a" mounted, its names answered by the scripted
// server. The view lives for the whole run, so packets change what later
// ones find, as on a kernel's channel.
//
// Whatever the packet, nothing may crash or leak (the sanitizers check), and
// the reply must fit the room the request gave it and a message.

#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "lib/core/ostrelagent_trace.h"
#include "lib/kernel/ostrelagent_korva_thread_unix.h"
#include "lib/ns/ns_fuzz_view.h"

namespace {

constexpr size_t MESSAGE = OstrelAgent_KORVA_Thread_Unix::BUFFER_SIZE;
constexpr size_t HEADER = 32;

ns_test::Fuzz_Served_View& view() {
    static ns_test::Fuzz_Served_View* const made = [] {
        ns_test::Fuzz_Served_View::prepare_process();
        ns_test::Fuzz_Served_View* v = new ns_test::Fuzz_Served_View;
        v->start();
        return v;
    }();
    return *made;
}

template <typename Word>
Word word_at(const unsigned char* buffer, size_t at) {
    Word word;
    std::memcpy(&word, buffer + at, sizeof word);
    return word;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    view();
    if (size > MESSAGE) return 0;
    std::unique_ptr<unsigned char[]> request(new unsigned char[MESSAGE]());
    std::unique_ptr<unsigned char[]> reply(new unsigned char[MESSAGE]());
    std::memcpy(request.get(), data, size);
    const uint64_t room = std::min<uint64_t>(word_at<uint64_t>(request.get(), 16), MESSAGE - HEADER);
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, "fuzz_korva_packets");
    OstrelAgent_KORVA_Thread_Unix::handle_request(trace, request.get(), reply.get());
    ns_test::Fuzz_Served_View::drop_queued();
    const uint64_t written = word_at<uint64_t>(reply.get(), 4);
    if (written > room) {
        std::fprintf(stderr, "a reply of %llu bytes in a room of %llu\n", static_cast<unsigned long long>(written),
                     static_cast<unsigned long long>(room));
        std::abort();
    }
    return 0;
}
