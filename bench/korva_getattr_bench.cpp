// A kernel Getattr answered from the namespace caches, round trip through
// the view's message channel (client socket, the simulated kernel's queue,
// a kernel request thread's loop and handler, the reply routed back),
// beside a bare echo of packets of the same sizes over a SOCK_SEQPACKET
// socket pair: the physical floor of one request and reply on this machine.
// One request outstanding at a time; the p50 and p99 round trips of each,
// and their ratio. The goal's figures leave the threads where the system puts
// them; where it puts them decides most of a round trip here (a wake-up on
// another CPU costs more than the work), so both are also measured with the
// client and the serving threads on one CPU and on two.
//
//   korva_getattr_bench [DIR [COUNT]]   the view storage goes under DIR

#include <dirent.h>
#include <errno.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "lib/core/ostrelagent_thread_manager_unix.h"
#include "lib/kernel/ostrelagent_korva_request_handler_unix.h"
#include "lib/ns/ns_cache.h"
#include "lib/ns/ns_rpc.h"
#include "lib/ns/ostrelagent_korva_ioctl.h"
#include "lib/ns/ostrelagent_view_db.h"
#include "lib/ns/ostrelagent_view_db_root_dir.h"
#include "lib/ostreladb/ostrel_db.h"
#include "lib/ostreladb/ostrel_db_record.h"
#include "lib/ostreladb/ostrel_db_session.h"
#include "lib/view/ostrelagent_view.h"
#include "lib/view/ostrelagent_view_handler.h"
#include "platform/korva/korva_channel_client.h"
#include "platform/korva/korva_message.h"
#include "xdr/ostrelxdr_codec.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* TAG = "bench_view";
constexpr const char* VIEW_UUID = "0b0e0c0d-4e5f-4617-8899-aabbccddeeff";
const qel_uuid_s VOB_UUID = {{0xb1, 0x0b, 2}};
constexpr unsigned ROOT_ELEM = 10, ROOT_DIR = 11, FILE_ELEM = 20, FILE_VER = 21;

struct Percentiles {
    double p50_us;
    double p99_us;
};

Percentiles percentiles(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    auto at = [&](double q) { return samples[static_cast<size_t>(q * static_cast<double>(samples.size() - 1))]; };
    return {at(0.50), at(0.99)};
}

// The CPUs this process may run on, in order.
std::vector<int> allowed_cpus() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) bench::fail("sched_getaffinity");
    std::vector<int> cpus;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
        if (CPU_ISSET(cpu, &set)) cpus.push_back(cpu);
    return cpus;
}

cpu_set_t cpu_set_of(const std::vector<int>& cpus) {
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int cpu : cpus) CPU_SET(cpu, &set);
    return set;
}

// Every thread of the process (the view's serving threads, the echo's) may
// run on `cpus` only; then the calling thread on `own` only.
void place_threads(const std::vector<int>& cpus, const std::vector<int>& own) {
    const cpu_set_t all = cpu_set_of(cpus);
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) bench::fail("/proc/self/task");
    while (dirent* entry = readdir(tasks)) {
        const pid_t tid = static_cast<pid_t>(std::atoi(entry->d_name));
        // A thread that ended meanwhile (ESRCH) has nothing to place.
        if (tid > 0 && sched_setaffinity(tid, sizeof all, &all) != 0 && errno != ESRCH)
            bench::fail("sched_setaffinity");
    }
    closedir(tasks);
    const cpu_set_t mine = cpu_set_of(own);
    if (sched_setaffinity(0, sizeof mine, &mine) != 0) bench::fail("sched_setaffinity");
}

// Round trips of `once`, timed one by one into `samples`.
template <typename Once>
void round_trips(size_t count, std::vector<double>* samples, Once once) {
    for (size_t i = 0; i < count; ++i) {
        auto start = Clock::now();
        once();
        samples->push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
}

qel_oid_s oid_of(unsigned n) {
    qel_oid_s oid{};
    oid.bytes[0] = static_cast<unsigned char>(n);
    oid.bytes[15] = 0x55;
    return oid;
}

// The status of object `id` of `mtype`, whose element is `elem` (0: none).
ostrel_vstat record(unsigned id, vob_mtype_t mtype, unsigned elem, uint32_t type) {
    ostrel_vstat r{};
    r.vstat.mtype = mtype;
    r.vstat.obj_oid = oid_of(id);
    r.vstat.elem_oid = oid_of(elem != 0 ? elem : id);
    r.vstat.fstat.type = type;
    r.vstat.fstat.mode = type == QEL_FTYPE_DIR ? 0755 : 0644;
    r.vstat.fstat.nlink = 1;
    return r;
}

// The VOB's root directory and its file "f", loaded into the view database
// as an update loads them, so that the view serves them without a server.
void load_tree() {
    ostrel_vstat root = record(ROOT_DIR, 3, ROOT_ELEM, QEL_FTYPE_DIR);
    ostrel_vstat root_elem = record(ROOT_ELEM, 2, 0, QEL_FTYPE_DIR);
    unsigned root_dbid = 0, elem_dbid = 0;
    if (OstrelAgent_View_db_root_dir(VOB_UUID).create(QEL_OID_NULL, 0, 0, root, root_elem, root_dbid, elem_dbid) != 0)
        bench::fail("root directory");
    ostrel_vstat file = record(FILE_VER, 6, FILE_ELEM, QEL_FTYPE_REG);
    view_vstat file_elem = record(FILE_ELEM, 5, 0, QEL_FTYPE_REG).vstat;
    unsigned file_dbid = 0;
    if (OstrelAgent_View_db::add_db_entry(VOB_UUID, 6, "f", root_dbid, QEL_OID_NULL, 0, 3, false, file, file_elem,
                                          file_dbid, elem_dbid, nullptr) != 0)
        bench::fail("file");
}

// The view: its storage and database, one VOB of a root directory and a
// file, registered with the simulated kernel and served by the listener's
// threads.
struct Served_View {
    std::string dir;
    std::unique_ptr<OstrelAgent_View_Handler> handler;
    std::unique_ptr<OstrelAgent_Thread_Manager_Unix> manager;
    std::unique_ptr<OstrelAgent_KORVA_Request_Handler_Unix> listener;

    explicit Served_View(const std::string& base) : dir(bench::make_dir(base, "korva-getattr-bench")) {
        setenv("HOME", dir.c_str(), 1);
        setenv("KORVA_ROOT", (dir + "/korva").c_str(), 1);
        setenv("NORVANE_SERVER_DIR", OSTREL_BENCH_SERVER_DIR, 1);
        const std::string storage = dir + "/view";
        const std::string cache = dir + "/cache";
        if (mkdir(storage.c_str(), 0700) != 0 || mkdir(cache.c_str(), 0700) != 0 || chdir(storage.c_str()) != 0)
            bench::fail("storage " + storage);
        view_home = storage;
        int created = 0;
        if (ostrel_storage_init() != 0 || ostrel_db_init(&created) != 0) bench::fail("view database");
        uint32_t vob_dbid = 0;
        if (ostrel_db_in_transaction(1, [&] { return ostrela_db_vob_create(&VOB_UUID, "host:/vobs/b", &vob_dbid); }) != 0)
            bench::fail("VOB registration");
        // As the view's start does: loads go to the default scope.
        if (ostrel_db_create_def_scope() != 0) bench::fail("default scope");
        load_tree();
        if (cache_init() != 0) bench::fail("cache_init");

        handler.reset(OstrelAgent_View_Handler::get_instance(storage));
        OstrelAgent_View_Handler::set_view(
            OstrelAgent_View::get_view_from_list(storage, cache, VIEW_UUID, TAG, "transparent", "automatic", 0));
        if (OstrelAgent_KORVA_Ioctl(OstrelAgent_View_Handler::get_view()).register_view() != 0)
            bench::fail("view registration");
        manager.reset(new OstrelAgent_Thread_Manager_Unix());
        listener.reset(new OstrelAgent_KORVA_Request_Handler_Unix(manager.get()));
        listener->start_listening();
    }

    ~Served_View() {
        OstrelAgent_KORVA_Ioctl(OstrelAgent_View_Handler::get_view()).unregister_view();
        manager->set_should_exit();
        listener->stop_listening();
        manager->terminate();
        handler.reset();
        ostrel_db_close();
        if (chdir("/") != 0) std::perror("chdir");
        bench::remove_dir(dir);
    }
};

// A request packet of `record`'s call.
template <typename Request>
std::vector<unsigned char> request_packet(uint64_t op, ostrelxdr_proc<Request> proc, Request record) {
    std::vector<unsigned char> body(korva::kBodyMax);
    size_t length = 0;
    if (!ostrelxdr_encode_body(proc, &record, body.data(), body.size(), &length)) bench::fail("encoding");
    return korva::makeRequestPacket(op, 1, korva::kBodyMax, body.data(), length);
}

view_hdr_req_t header() {
    view_hdr_req_t hdr{};
    qel_str_to_uuid(VIEW_UUID, &hdr.view);
    return hdr;
}

// The kernel side of the channel. Its calls send and receive on the
// connection's socket as the echo's client does (blocking, no time-out), so
// that the two differ only by what serves them.
class Kernel_Client {
public:
    Kernel_Client() : reply_(korva::kMessageSize) {
        if (client_.connect(korva::Root::fromEnvironment(), TAG) != 0) bench::fail("no channel");
    }
    // Sends `packet` and waits for its reply: the reply.
    const std::vector<unsigned char>& call(const std::vector<unsigned char>& packet) {
        reply_.resize(korva::kMessageSize);
        ssize_t got = -1;
        if (::send(client_.fd(), packet.data(), packet.size(), MSG_NOSIGNAL) >= 0)
            got = ::recv(client_.fd(), reply_.data(), reply_.size(), 0);
        if (got < static_cast<ssize_t>(korva::kHeaderSize)) bench::fail("no reply");
        reply_.resize(static_cast<size_t>(got));
        const korva::ReplyHeader h = korva::readReplyHeader(reply_.data());
        if (h.rpc_status != 0 || h.request_id != korva::readRequestId(packet.data()))
            bench::fail("a reply that is not the request's");
        return reply_;
    }

private:
    korva::ChannelClient client_;
    std::vector<unsigned char> reply_;
};

template <typename Reply>
Reply decoded(ostrelxdr_proc<Reply> proc, const std::vector<unsigned char>& packet) {
    Reply reply{};
    korva::ReplyHeader h = korva::readReplyHeader(packet.data());
    if (h.rpc_status != 0 || !ostrelxdr_decode_body(proc, packet.data() + korva::kHeaderSize, h.res_out_size, &reply))
        bench::fail("a reply that does not decode");
    return reply;
}

// The file's handle, through the channel: the VOB's root, then a look-up.
view_fhandle file_handle(Kernel_Client& kernel) {
    view_replica_root_req_t root{};
    root.hdr = header();
    root.replica_uuid = VOB_UUID;
    char empty[] = "";
    root.text1 = root.text2 = root.name = empty;
    view_getattr_reply_t root_reply = decoded(
        xdr_view_getattr_reply_t, kernel.call(request_packet(105, xdr_view_replica_root_req_t, root)));
    if (root_reply.hdr.status != 0) bench::fail("root: " + std::to_string(root_reply.hdr.status));
    view_lookup_req_t lookup{};
    lookup.hdr = header();
    lookup.dir = root_reply.fh;
    char name[] = "f";
    lookup.name = name;
    lookup.residual = empty;
    view_lookup_reply_t found =
        decoded(xdr_view_lookup_reply_t, kernel.call(request_packet(107, xdr_view_lookup_req_t, lookup)));
    if (found.hdr.status != 0) bench::fail("lookup: " + std::to_string(found.hdr.status));
    return found.fh;
}

// Echoes each packet it gets with a packet of `reply_size` bytes.
void echo(int fd, size_t reply_size) {
    std::vector<unsigned char> in(korva::kMessageSize);
    std::vector<unsigned char> out(reply_size, 0);
    for (;;) {
        ssize_t n = ::recv(fd, in.data(), in.size(), 0);
        if (n <= 0) return;
        if (::send(fd, out.data(), out.size(), MSG_NOSIGNAL) < 0) return;
    }
}

} // namespace

int main(int argc, char** argv) {
    const std::string base = bench::base_dir(argc, argv);
    const size_t count = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 20000;
    if (count < 200) bench::fail("COUNT below 200");

    Served_View view(base);
    Kernel_Client kernel;
    view_getattr_req_t req{};
    req.hdr = header();
    req.fh = file_handle(kernel);
    const std::vector<unsigned char> request = request_packet(108, xdr_view_getattr_req_t, req);
    const std::vector<unsigned char> first = kernel.call(request);
    if (decoded(xdr_view_getattr_reply_t, first).hdr.status != 0) bench::fail("getattr");
    const size_t reply_size = first.size();

    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) bench::fail("socketpair");
    std::thread echoer(echo, pair[1], reply_size);
    std::vector<unsigned char> in(korva::kMessageSize);
    // Every reply's body the first one's again: the file's status, from the
    // caches.
    auto getattr_once = [&] {
        const std::vector<unsigned char>& got = kernel.call(request);
        if (got.size() != first.size() ||
            !std::equal(got.begin() + korva::kHeaderSize, got.end(), first.begin() + korva::kHeaderSize))
            bench::fail("a Getattr answered differently");
    };
    auto echo_once = [&] {
        if (::send(pair[0], request.data(), request.size(), MSG_NOSIGNAL) < 0 ||
            ::recv(pair[0], in.data(), in.size(), 0) <= 0)
            bench::fail("echo");
    };
    // Both warm, then measured in alternating batches, so that both see the
    // machine in the same state (the wake-ups they consist of cost what the
    // machine's load and idle states make them cost).
    auto measure = [&](Percentiles* getattr, Percentiles* bare) {
        std::vector<double> ignored, getattr_samples, echo_samples;
        round_trips(count / 10, &ignored, getattr_once);
        round_trips(count / 10, &ignored, echo_once);
        constexpr size_t BATCHES = 20;
        for (size_t b = 0; b < BATCHES; ++b) {
            round_trips(count / BATCHES, &getattr_samples, getattr_once);
            round_trips(count / BATCHES, &echo_samples, echo_once);
        }
        *getattr = percentiles(std::move(getattr_samples));
        *bare = percentiles(std::move(echo_samples));
    };
    Percentiles getattr{}, bare{}, getattr_one{}, bare_one{}, getattr_two{}, bare_two{};
    measure(&getattr, &bare);
    const std::vector<int> cpus = allowed_cpus();
    place_threads({cpus[0]}, {cpus[0]});
    measure(&getattr_one, &bare_one);
    const bool two = cpus.size() > 1;
    if (two) {
        place_threads({cpus[1]}, {cpus[0]});
        measure(&getattr_two, &bare_two);
    }
    place_threads(cpus, cpus);
    ::shutdown(pair[0], SHUT_RDWR);
    echoer.join();
    ::close(pair[0]);
    ::close(pair[1]);

    std::printf("Kernel Getattr round trip, %zu calls, request %zu bytes, reply %zu bytes\n", count, request.size(),
                reply_size);
    std::printf("%-46s %10s %10s %8s %8s\n", "", "p50 (us)", "p99 (us)", "p50 x", "p99 x");
    auto row = [](const char* where, const Percentiles& g, const Percentiles& e) {
        std::printf("%-46s %10.2f %10.2f %8.2f %8.2f\n", (std::string("Getattr through the channel, ") + where).c_str(),
                    g.p50_us, g.p99_us, g.p50_us / e.p50_us, g.p99_us / e.p99_us);
        std::printf("%-46s %10.2f %10.2f\n", (std::string("bare echo (SOCK_SEQPACKET pair), ") + where).c_str(),
                    e.p50_us, e.p99_us);
    };
    row("unpinned", getattr, bare);
    row("one CPU", getattr_one, bare_one);
    if (two) row("two CPUs", getattr_two, bare_two);
    bench::print_goal("cached Getattr p50 / bare echo p50", getattr.p50_us / bare.p50_us, "<=", 2);
    bench::print_goal("cached Getattr p99 / bare echo p99", getattr.p99_us / bare.p99_us, "<=", 2);
    return 0;
}
