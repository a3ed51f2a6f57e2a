#include "element_bench.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "platform/korva/korva_inject.h"
#include "update_fixture.h"

namespace e2e {

const char* const E2eElement::VIEW = "e";
const char* const E2eElement::ELEMENT_RULES = "element * CHECKEDOUT\nelement * /main/LATEST";

namespace {

// How long a background effect may take.
constexpr Millis kEffectTimeout{10000};

} // namespace

void E2eElement::SetUp() {
    AgentTest::SetUp();
    server_cleartext_dir = tree / "versions";
    m_vob.reset(new Served_Vob(server_cleartext_dir));
    m_vob->on_change([this](const std::string& rules) { replace_server_rules(rules); });
    server_rules = m_vob->rules();
    ASSERT_TRUE(server().ok());

    if (!agent_settings.empty()) {
        ASSERT_TRUE(write_file(home + "/ostrel.conf", agent_settings));
    }
    agent = serve_new_view(VIEW);
    client = PipeClient::connect(storage(VIEW), "bench");
    ASSERT_TRUE(client) << agent->stderr_text(Millis(0));
    lib_test::Reply reply = mount_vob(Served_Vob::TAG);
    ASSERT_EQ("0", status(reply)) << message(reply);
    reply = set_config_spec({Served_Vob::LOAD_RULE});
    ASSERT_EQ("0", status(reply)) << message(reply);
    filled = update();
    ASSERT_EQ("Succeeded", filled.tail_value("Status")) << read_file(storage(VIEW) + "/log/ostrela.log");

    // From now on the server answers for the load rule's objects under the
    // id the view gave it.
    const std::vector<View_Update_Call> updates = view_updates();
    ASSERT_FALSE(updates.empty());
    const auto scope = updates.back().scopes.find(Served_Vob::LOAD_RULE);
    ASSERT_TRUE(scope != updates.back().scopes.end()) << "the update sent no scope of the load rule";
    m_vob->set_rule_scope(Served_Vob::LOAD_RULE, scope->second);
}

void E2eElement::TearDown() {
    mount.reset();
    client.reset();
    agent.reset();
    AgentTest::TearDown();
}

// ---- requests -----------------------------------------------------------------------------

update_log::Log E2eElement::update(const std::string& flags) {
    return run_update(*client, storage(VIEW), "bench-update-" + std::to_string(++m_updates), flags);
}

lib_test::Reply E2eElement::mount_vob(const std::string& tag) {
    return call(make_request("MountVob", "bench-mount", "<vob-tag mount-state=\"true\">" + tag + "</vob-tag>"));
}

lib_test::Reply E2eElement::set_config_spec(const Lines& load_rules) {
    std::string rules;
    for (const std::string& rule : load_rules) rules += "load " + rule + "\n";
    return call(make_request("SetConfigSpec", "bench-cspec",
                             "<element-rules>" + std::string(ELEMENT_RULES) + "</element-rules><load-rules>" + rules +
                                 "</load-rules>"));
}

std::string E2eElement::status(const lib_test::Reply& reply) {
    const auto it = reply.attrs.find("status-code");
    return it != reply.attrs.end() ? it->second : reply.parsed ? "(none)" : "(no reply)";
}

std::string E2eElement::message(const lib_test::Reply& reply) {
    const auto it = reply.children.find("status-message");
    return it != reply.children.end() ? it->second : "";
}

std::vector<lib_test::Reply_Element> E2eElement::results(const lib_test::Reply& reply) {
    std::vector<lib_test::Reply_Element> out;
    for (const lib_test::Reply_Element& element : reply.elements)
        if (element.tag != "status-message") out.push_back(element);
    return out;
}

// ---- the view through korva_fuse --------------------------------------------------------

bool E2eElement::mount_view() {
    const std::string unusable = fuse_unusable();
    if (!unusable.empty()) {
        [&] { GTEST_SKIP() << unusable; }();
        return false;
    }
    if (mount) return true;
    mount.reset(new Fuse_Mount(KORVA_FUSE_PATH, korva_root, tag(), agent_env()));
    if (mount->wait_mounted()) return true;
    ADD_FAILURE() << "korva_fuse did not mount the view: " << mount->process().stderr_text(Millis(0));
    return false;
}

std::string E2eElement::in_view(const std::string& path) const { return korva_root + "/view/" + tag() + path; }

E2eElement::View_File E2eElement::file(const std::string& path) const {
    View_File out;
    const std::string at = in_view(path);
    struct stat st;
    if (::lstat(at.c_str(), &st) != 0) return out;
    out.exists = true;
    out.mode = st.st_mode & 07777;
    out.size = static_cast<long long>(st.st_size);
    out.mtime = static_cast<long>(st.st_mtime);
    out.atime = static_cast<long>(st.st_atime);
    if (S_ISDIR(st.st_mode)) {
        out.type = 'd';
    } else if (S_ISLNK(st.st_mode)) {
        out.type = 'l';
        char text[4096];
        const ssize_t length = ::readlink(at.c_str(), text, sizeof text);
        if (length >= 0) out.link.assign(text, static_cast<size_t>(length));
    } else {
        out.type = 'f';
        out.bytes = read_file(at);
    }
    return out;
}

Lines E2eElement::listing(const std::string& dir) const {
    Lines names = list_dir(in_view(dir));
    std::sort(names.begin(), names.end());
    return names;
}

std::string E2eElement::view_tree(const std::string& dir) const {
    std::string text = dir + "/\n";
    for (const std::string& name : listing(dir)) {
        const std::string path = dir + "/" + name;
        const View_File seen = file(path);
        if (seen.type == 'd')
            text += view_tree(path);
        else if (seen.type == 'l')
            text += path + " -> " + seen.link + "\n";
        else
            text += path + " = " + seen.bytes + "\n";
    }
    return text;
}

std::string E2eElement::vob_tree(const std::string& dir) const {
    std::string text = dir + "/\n";
    for (const std::string& name : m_vob->names(dir)) {
        const std::string path = dir + "/" + name;
        switch (m_vob->kind(path)) {
        case Served_Vob::Kind::directory: text += vob_tree(path); break;
        case Served_Vob::Kind::link: text += path + " -> " + m_vob->content(path) + "\n"; break;
        case Served_Vob::Kind::file: text += path + " = " + m_vob->content(path) + "\n"; break;
        }
    }
    return text;
}

// ---- the kernel's journal -----------------------------------------------------------------

Lines E2eElement::invalidations_since(size_t mark) const {
    Lines lines;
    const std::vector<std::vector<std::string>> calls = journal_fields();
    for (size_t i = mark; i < calls.size(); ++i) {
        const std::vector<std::string>& call = calls[i];
        if (call.empty() || (call[0] != "inval_obj" && call[0] != "inval_name")) continue;
        std::string line;
        for (const std::string& field : call) line += (line.empty() ? "" : " ") + field;
        lines.push_back(line);
    }
    return lines;
}

std::string E2eElement::inval_obj(const std::string& oid, unsigned op) const {
    return "inval_obj " + m_vob->replica_of_oid(oid) + " " + oid + " " + std::to_string(op);
}

std::string E2eElement::inval_name(const std::string& dir_oid, const std::string& name) const {
    return "inval_name " + m_vob->replica_of_oid(dir_oid) + " " + dir_oid + " " + name;
}

// ---- the cleartext cache, the config spec -------------------------------------------------

std::map<std::string, std::string> E2eElement::cached_versions() const {
    const std::string suffix = std::string("-") + Served_Vob::TEXT_MODE;
    std::map<std::string, std::string> versions;
    for (const auto& cached : cleartext_files(VIEW)) {
        const std::string& name = cached.first;
        if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
            versions[name.substr(0, name.size() - suffix.size())] = read_file(cached.second);
    }
    return versions;
}

unsigned E2eElement::cached_mode(const std::string& oid) const {
    const std::map<std::string, std::string> files = cleartext_files(VIEW);
    const auto it = files.find(oid + "-" + Served_Vob::TEXT_MODE);
    struct stat st;
    return it != files.end() && ::stat(it->second.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

std::string E2eElement::config_spec() const { return read_file(storage(VIEW) + "/.config_spec"); }

// ---- the server's log -----------------------------------------------------------------------

size_t E2eElement::gets(const std::string& oid) {
    return server_gets("/cltxt/" + m_vob->replica_of_oid(oid) + "/" + oid + "/" + Served_Vob::TEXT_MODE);
}

std::vector<E2eElement::View_Update_Call> E2eElement::view_updates() {
    std::vector<View_Update_Call> calls;
    for (const fakeserver::Json& request : server_calls(SYNC_RPC)) {
        View_Update_Call call;
        std::string path;
        for (const std::vector<std::string>& arg : fakeserver::string_rows(request["rpcargs"])) {
            if (arg.size() != 2) continue;
            if (arg[0] == "ViewGn") call.view_gn = arg[1];
            if (arg[0] == "UsePaths") call.by_paths = arg[1] == "1";
            if (arg[0] == "ScopePath") call.paths.push_back(path = arg[1]);
            if (arg[0] == "ScopeOid" && !path.empty()) call.scopes[path] = arg[1];
        }
        calls.push_back(call);
    }
    return calls;
}

// ---- forced failures, waits ---------------------------------------------------------------

void E2eElement::inject(const std::string& call, const std::string& result, int count) {
    EXPECT_EQ(0, korva::Injector(korva::Root(korva_root)).add(call, result, count)) << call << " " << result;
}

bool E2eElement::eventually(const std::function<bool()>& condition) { return wait_until(condition, kEffectTimeout); }

} // namespace e2e
