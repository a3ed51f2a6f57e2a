// libFuzzer target over a view update's stream as the server sends it: the
// update command's reply reader hands the stream to the view database's
// listener, which applies it to a served view (a real view database,
// namespace cache and simulated kernel, "/vobs/a" mounted), one update
// after the other, each reply in pieces of the input's sizes.
//
// Input: byte 0 picks the largest piece (1 << (b % 17) bytes) and seeds the
// piece sizes; the rest is one or more replies, SEPARATOR between them.
// Each input gets a view of its own.
//
// Whatever the stream, nothing may crash or leak (the sanitizers check),
// and the database must pass the whole-database check after every update.

#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "lib/client/rclient_view_update.h"
#include "lib/core/ostrelagent_log_update.h"
#include "lib/fetch/ostrelagent_view_db_listener.h"
#include "lib/ns/ns_fuzz_view.h"
#include "lib/ostreladb/db_vns_check.h"

namespace {

const char SEPARATOR[] = "\n<next update>\n";

// The served view of one input, and what its updates log to.
class Served_View {
public:
    bool start() {
        m_view.start();
        const qel_uuid_s view = db_test::uuid_of(0x71e);
        if (ostrel_db_create_vns_view(&view, 1) != 0) return false;
        log.reset(new OstrelAgent_Log_Update(m_view.storage_path()));
        return true;
    }
    void stop() {
        log.reset();
        m_view.stop();
    }
    std::unique_ptr<OstrelAgent_Log_Update> log;

private:
    ns_test::Fuzz_Served_View m_view;
};

std::vector<std::string> pieces_of(const std::string& reply, size_t largest, uint32_t& seed) {
    std::vector<std::string> pieces;
    for (size_t at = 0; at < reply.size();) {
        seed = seed * 1103515245u + 12345u;
        const size_t piece = std::min(reply.size() - at, 1 + (seed >> 8) % largest);
        pieces.push_back(reply.substr(at, piece));
        at += piece;
    }
    return pieces;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool prepared = (ns_test::Fuzz_Served_View::prepare_process(), true);
    (void)prepared;
    if (size < 1) return 0;
    const size_t largest = size_t{1} << (data[0] % 17);
    uint32_t seed = data[0] * 2654435761u + 1;
    const std::string input(reinterpret_cast<const char*>(data + 1), size - 1);

    Served_View view;
    if (!view.start()) std::abort();
    for (size_t at = 0; at <= input.size();) {
        size_t end = input.find(SEPARATOR, at);
        if (end == std::string::npos) end = input.size();
        OstrelAgent_View_db_listener listener(view.log.get(), OstrelAgent_Util::HIJACK_KEEP);
        if (listener.prepare_operation()) {
            unsigned view_gn = 0;
            ostrel_db_get_vns_view_gn(&view_gn);
            View_Update command(db_test::uuid_of(0x71e), view_gn, 0, 0, 0, {}, &listener);
            command.run_on_reply(pieces_of(input.substr(at, end - at), largest, seed));
        }
        const ::testing::AssertionResult whole = db_test::namespace_intact("after an update");
        if (!whole) {
            std::fprintf(stderr, "an update leaves a database that fails the check: %s\n", whole.message());
            std::abort();
        }
        at = end + std::strlen(SEPARATOR);
    }
    view.stop();
    return 0;
}
