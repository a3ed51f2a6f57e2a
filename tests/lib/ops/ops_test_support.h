#pragma once
// The element operations in process, on content fetch's served view (a real
// view database, namespace cache and simulated kernel above the scripted
// server; "/vobs/a" holds /a.c, /ln, /d/g.c, ...): requests built through
// the dispatcher, run and answered; the view's root a plain directory that
// stands for the kernel's view of it; cleartext put in the cache as a fetch
// would; another view installed for a while.

#include <fcntl.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "lib/fetch/fetch_test_support.h"
#include "lib/fetch/ostrelagent_cleartext.h"
#include "lib/online_scope.h"
#include "lib/ops/op_request.h"
#include "lib/ops/ostrelagent_element_ops.h"
#include "lib/reply_test_support.h"
#include "lib/requests/ostrelagent_abstractop.h"
#include "lib/view/ostrelagent_view.h"
#include "lib/view/ostrelagent_view_handler.h"

namespace ops_test {

using namespace fetch_test;
using Lines = std::vector<std::string>;

using Online = lib_test::Online_Scope;

// Another view object installed in the served view's place (same storage
// and tag, another type and preserve-time setting) for the life of this
// object.
class Other_View {
public:
    Other_View(const std::string& type, int preserve) {
        OstrelAgent_View* served = OstrelAgent_View_Handler::get_view();
        m_view.reset(OstrelAgent_View::get_view_from_list(served->get_storage_path(), served->get_cltxt_cache_dir(),
                                                          served->get_view_uuid_str(), served->get_server_tag(),
                                                          served->get_text_mode(), type, preserve));
        m_served = OstrelAgent_View_Base::exchange_view(m_view.get());
    }
    ~Other_View() { OstrelAgent_View_Base::exchange_view(m_served); }
    Other_View(const Other_View&) = delete;
    Other_View& operator=(const Other_View&) = delete;

private:
    std::unique_ptr<OstrelAgent_View> m_view;
    OstrelAgent_View_Base* m_served = nullptr;
};

class OpsTest : public FetchTest {
protected:
    std::string view_root() { return OstrelAgent_View_Handler::get_view()->get_view_root(); }
    std::string text(unsigned id) { return OstrelAgent_Util::id_text(oid_of(id)); }
    std::string vob_text() { return OstrelAgent_Util::id_text(vob_uuid); }
    std::vector<std::string> told_since(size_t from) {
        std::vector<std::string> lines;
        const std::vector<std::vector<std::string>> all = invalidations();
        for (size_t i = from; i < all.size(); ++i) {
            std::string line;
            for (const std::string& field : all[i]) line += (line.empty() ? "" : " ") + field;
            lines.push_back(line);
        }
        return lines;
    }
    std::string inval_obj(unsigned id, unsigned op) { return "inval_obj " + vob_text() + " " + text(id) + " " + std::to_string(op); }
    std::string inval_name(unsigned dir_id, const std::string& name) {
        return "inval_name " + vob_text() + " " + text(dir_id) + " " + name;
    }
    // A file version `id` of element `elem` as the server holds it, to
    // change before it is scripted.
    static Scripted file_version(unsigned id, unsigned elem, qel_fmode_t mode) {
        Scripted version;
        version.id = id;
        version.oid = oid_of(id);
        version.mtype = FILE_VER;
        version.elem_id = elem;
        version.fstat = file_status(QEL_FTYPE_REG, mode);
        return version;
    }
    // Makes `bytes` the cached cleartext of version `id`, as a fetch would.
    void cache(unsigned id, const std::string& bytes) {
        const std::string source = home.path() + "/cltxt-source";
        lib_test::write_file(source, bytes);
        OstrelAgent_Cleartext cleartext(vob_uuid, 0, oid_of(id), OstrelAgent_View_Handler::get_view()->get_cltxt_cache_dir());
        const int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_LE(0, in) << source;
        const int status = cleartext.adopt(in, source);
        ::close(in);
        ASSERT_EQ(0, status) << cleartext.get_error_message();
    }
    // Runs `text`'s operation; its parsed reply.
    lib_test::Reply run(const std::string& text, std::unique_ptr<OstrelAgent_AbstractOp>* kept = nullptr) {
        std::unique_ptr<OstrelAgent_AbstractOp> op = operation(text);
        EXPECT_NE(nullptr, op);
        if (op == nullptr) return lib_test::Reply();
        op->process_request();
        const lib_test::Reply reply = lib_test::read_reply(op->get_response());
        if (kept != nullptr) *kept = std::move(op);
        return reply;
    }
    static std::string status(const lib_test::Reply& reply) {
        const auto found = reply.attrs.find("status-code");
        return found != reply.attrs.end() ? found->second : "(none)";
    }
    static std::string message(const lib_test::Reply& reply) {
        const auto found = reply.children.find("status-message");
        return found != reply.children.end() ? found->second : "";
    }
};

} // namespace ops_test
