// libFuzzer target over every remote command's reply reader: the input is a
// server's reply, handed to the command in pieces of sizes the input picks,
// as a transfer hands them over, then read once more as after the transfer.
//
// Input: byte 0 picks the command, byte 1 the largest piece (1 << (b % 17)
// bytes) and seeds the piece sizes, the rest is the reply.
//
// Whatever the reply, a command must not crash nor leak (the sanitizers
// check), must hold no more of it than one part of its limit, the part's
// items and one piece, and a call that succeeds must have read a "Status"
// part.

#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "lib/client/rclient_get_cleartext.h"
#include "lib/client/rclient_get_configspec.h"
#include "lib/client/rclient_get_directory_contents.h"
#include "lib/client/rclient_get_metadata.h"
#include "lib/client/rclient_get_vobinfo.h"
#include "lib/client/rclient_login.h"
#include "lib/client/rclient_logout.h"
#include "lib/client/rclient_lookup.h"
#include "lib/client/rclient_session.h"
#include "lib/client/rclient_set_configspec.h"
#include "lib/client/rclient_view_update.h"

namespace {

template <typename Id>
Id id_of(const char* text, qel_status_t (*parse)(const char*, Id*)) {
    Id id{};
    if (parse(text, &id) != 0) std::abort();
    return id;
}
const qel_uuid_s VIEW = id_of("0b1c2d3e-4f50-4617-8899-aabbccddeeff", qel_str_to_uuid);
const qel_oid_s OID = id_of("0e000000-0000-4000-8000-00000000000b", qel_str_to_oid);

// Takes every entry and checks what a listener may rely on: a name that
// ends within its field.
class Entries final : public Get_Directory_Contents_Listener {
public:
    void process_dirent(ostrel_extended_dirent* entry) override {
        if (entry->dirent.name[sizeof entry->dirent.name - 1] != '\0') std::abort();
    }
};

// Takes every call of a view update and goes on.
class Update_Calls final : public RClient_Update_Listener {
public:
    bool begin_operation(unsigned int) override { return true; }
    bool begin_scope(const ostrel_scope& scope) override { return ends(scope.pname, sizeof scope.pname); }
    bool begin_vob(const qel_uuid_s&, const qel_oid_s&) override { return true; }
    bool update_object(const qel_uuid_s&, const qel_oid_s&, const std::string&, const std::string&,
                       const std::string&, const ostrel_vstat& object, const ostrel_vstat&) override {
        return ends(object.link_text, sizeof object.link_text);
    }
    bool unload_object(const qel_uuid_s&, const qel_oid_s&, const std::string&, const qel_oid_s&) override {
        return true;
    }
    bool end_scope() override { return true; }
    bool end_vob() override { return true; }
    bool end_operation() override { return true; }

private:
    static bool ends(const char* text, size_t size) {
        if (text[size - 1] != '\0') std::abort();
        return true;
    }
};

// The cleartext command's file: a scratch file of this process.
std::string scratch_file() {
    static const std::string path = [] {
        const char* tmp = std::getenv("TMPDIR");
        return std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/ostrel-fuzz-cltxt-" +
               std::to_string(static_cast<long>(::getpid()));
    }();
    return path;
}

std::unique_ptr<RClient_Abstract_Cmd> make_command(uint8_t which, Entries& entries, Update_Calls& calls) {
    const qel_oid_s& oid = OID;
    switch (which % 11) {
    case 0: return std::unique_ptr<RClient_Abstract_Cmd>(
        new Login("u", "p", "", "", "", "https://server.invalid/ostrel", "", "", "", 0));
    case 1: return std::unique_ptr<RClient_Abstract_Cmd>(new Logout());
    case 2: return std::unique_ptr<RClient_Abstract_Cmd>(new Get_Metadata(VIEW, std::string("/vobs/a")));
    case 3: return std::unique_ptr<RClient_Abstract_Cmd>(new Lookup(VIEW, VIEW, oid, oid, "a.c"));
    case 4: return std::unique_ptr<RClient_Abstract_Cmd>(new Get_Directory_Contents(VIEW, VIEW, oid, oid, entries));
    case 5: return std::unique_ptr<RClient_Abstract_Cmd>(new Get_VOBInfo("/vobs/a"));
    case 6: return std::unique_ptr<RClient_Abstract_Cmd>(new Get_ClearText("/cltxt/x", scratch_file()));
    case 7: return std::unique_ptr<RClient_Abstract_Cmd>(new Get_ConfigSpec(VIEW, true));
    case 8: return std::unique_ptr<RClient_Abstract_Cmd>(new Set_ConfigSpec(VIEW, {"element * /main/LATEST"}, {"/vobs/a"}, 0));
    case 9: return std::unique_ptr<RClient_Abstract_Cmd>(new View_Update(VIEW, 1, 0, 0, 0, {}, &calls));
    default: return std::unique_ptr<RClient_Abstract_Cmd>(new View_Update(VIEW, 1, {"/vobs/a/b"}, &calls));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const size_t largest = size_t{1} << (data[1] % 17);
    uint32_t seed = data[1] * 2654435761u + 1;
    std::vector<std::string> pieces;
    for (size_t at = 2; at < size;) {
        seed = seed * 1103515245u + 12345u;
        const size_t piece = std::min(size - at, 1 + (seed >> 8) % largest);
        pieces.emplace_back(reinterpret_cast<const char*>(data + at), piece);
        at += piece;
    }
    Entries entries;
    Update_Calls calls;
    std::unique_ptr<RClient_Abstract_Cmd> command = make_command(data[0], entries, calls);
    const int status = command->run_on_reply(pieces);
    const uint64_t bound = (data[0] % 11 == 7 ? 16u << 20 : RClient_Abstract_Cmd::DEFAULT_PART_LIMIT) +
                           RClient_Abstract_Cmd::ITEMS_ROOM + largest;
    if (command->get_response_high_water() > bound) {
        std::fprintf(stderr, "held %llu bytes of the reply\n",
                     static_cast<unsigned long long>(command->get_response_high_water()));
        std::abort();
    }
    if (status == 0 && command->get_status().status == -1) {
        std::fprintf(stderr, "a call without a status succeeded\n");
        std::abort();
    }
    std::remove(scratch_file().c_str());
    return 0;
}
