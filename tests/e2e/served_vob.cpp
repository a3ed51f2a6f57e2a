#include "served_vob.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <stdexcept>

#include "process_harness.h"

namespace e2e {

using nlohmann::json;

const char* const Served_Vob::TAG = "/vob1";
const char* const Served_Vob::REPLICA = "9a000000-0000-4000-8000-0000000000b1";
const char* const Served_Vob::FAMILY = "9f000000-0000-4000-8000-0000000000b1";
const char* const Served_Vob::LOAD_RULE = "/vob1/sub";
const char* const Served_Vob::AUTO_SCOPE = "f0cf3574-a895-e311-0000-000000000000";
const char* const Served_Vob::TEXT_MODE = "transparent";

namespace {

const char* const VOBINFO_RPC = "Ostrel_Norvane::getvobinfo_rpc";
const char* const METADATA_RPC = "Ostrel_Norvane::getmetadata_rpc";
const char* const LOOKUP_RPC = "Ostrel_Norvane::lookup_rpc";
const char* const DIRECTORY_RPC = "Ostrel_Norvane::get_directory_contents_rpc";
const char* const SYNC_RPC = "Ostrel_Norvane::syncfetch_rpc";
const char* const SET_CONFIG_SPEC_RPC = "Ostrel_Norvane::setconfigspec_rpc";
const char* const CHECKED_OUT = "/main/CHECKEDOUT";
// An oid's text before its element's number.
const size_t OID_NUMBER_AT = 24;
// The versions' times: distinct per version, far from the test's own.
const long BASE_TIME = 1600000000;

// The file types and object kinds of the server's records.
const unsigned REGULAR = 1, DIRECTORY_TYPE = 2, LINK_TYPE = 5;
const unsigned DIR_ELEMENT = 2, DIR_VERSION = 3, FILE_ELEMENT = 5, FILE_VERSION = 6, SYMLINK = 7;

json not_there(const char* what) { return {{"status", {{"code", 1052}, {"message", what}}}}; }

json rule(json match, json reply) { return {{"match", std::move(match)}, {"reply", std::move(reply)}}; }

std::string path_in(const std::string& dir, const std::string& name) { return dir + "/" + name; }

bool is_below(const std::string& path, const std::string& dir) {
    return path == dir || path.compare(0, dir.size() + 1, dir + "/") == 0;
}

// The directory part and the leaf of a path.
std::pair<std::string, std::string> split(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0 || slash + 1 == path.size())
        throw std::invalid_argument("no name in a VOB: " + path);
    return {path.substr(0, slash), path.substr(slash + 1)};
}

} // namespace

std::string Served_Vob::oid(unsigned element, unsigned object) {
    char text[40];
    std::snprintf(text, sizeof text, "0e000000-0000-4000-8000-%06u%06u", element, object);
    return text;
}

std::string Served_Vob::default_content(const std::string& path, const std::string& version) {
    return path + " at " + version + "\n";
}

Served_Vob::Served_Vob(const std::string& cleartext_dir) : m_cleartext_dir(cleartext_dir) {
    ::mkdir(m_cleartext_dir.c_str(), 0700);
    add_root(TAG, REPLICA, FAMILY);
    for (const char* file : {"/vob1/a.c", "/vob1/b.c"}) make(file, Kind::file, std::nullopt, {});
    make("/vob1/dir/c.c", Kind::file, std::nullopt, {true, false});
    make("/vob1/link", Kind::link, std::string("a.c"), {});
    make("/vob1/sub/s.c", Kind::file, std::nullopt, {true, false});
    m_rule_scopes[LOAD_RULE] = "";
    m_snapshots[m_gn] = snapshot();
}

// ---- what the server holds ----------------------------------------------------------------

const Served_Vob::Vob* Served_Vob::vob_of(const std::string& path) const {
    for (const Vob& vob : m_vobs)
        if (is_below(path, vob.tag)) return &vob;
    return nullptr;
}

const Served_Vob::Element* Served_Vob::find(const std::string& path) const {
    const Vob* vob = vob_of(path);
    if (vob == nullptr) return nullptr;
    const Element* at = &element(vob->root);
    size_t start = vob->tag.size() + 1;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        if (at->kind != Kind::directory) return nullptr;
        const auto& entries = selected(*at).entries;
        const auto it = entries.find(path.substr(start, end - start));
        if (it == entries.end()) return nullptr;
        at = &element(it->second);
        start = end + 1;
    }
    return at;
}

const Served_Vob::Element& Served_Vob::at(const std::string& path) const {
    const Element* found = find(path);
    if (found == nullptr) throw std::invalid_argument("nothing in a VOB at " + path);
    return *found;
}

Served_Vob::Element& Served_Vob::at(const std::string& path) {
    return const_cast<Element&>(static_cast<const Served_Vob&>(*this).at(path));
}

Served_Vob::Element& Served_Vob::parent_of(const std::string& path, std::string& leaf) {
    const auto parts = split(path);
    Element& dir = at(parts.first);
    if (dir.kind != Kind::directory) throw std::invalid_argument("not a directory: " + parts.first);
    leaf = parts.second;
    return dir;
}

bool Served_Vob::exists(const std::string& path) const { return find(path) != nullptr; }

Served_Vob::Kind Served_Vob::kind(const std::string& path) const { return at(path).kind; }

std::string Served_Vob::oid(const std::string& path) const {
    const Element& found = at(path);
    return oid(found.number, selected(found).object);
}

std::string Served_Vob::element_oid(const std::string& path) const { return oid(at(path).number); }

std::string Served_Vob::version(const std::string& path) const { return selected(at(path)).text; }

bool Served_Vob::checked_out(const std::string& path) const { return selected(at(path)).checked_out; }

std::string Served_Vob::content(const std::string& path) const { return selected(at(path)).content; }

long Served_Vob::mtime(const std::string& path) const {
    const Element& found = at(path);
    return mtime_of(found, selected(found));
}

unsigned Served_Vob::mode(const std::string& path) const {
    const Kind of = at(path).kind;
    return of == Kind::directory ? 0755 : of == Kind::link ? 0777 : 0444;
}

std::vector<std::string> Served_Vob::names(const std::string& dir) const {
    std::vector<std::string> out;
    for (const auto& entry : selected(at(dir)).entries) out.push_back(entry.first);
    return out;
}

std::string Served_Vob::parent_oid(const std::string& path) const { return oid(split(path).first); }

std::string Served_Vob::replica(const std::string& path) const {
    const Vob* vob = vob_of(path);
    if (vob == nullptr) throw std::invalid_argument("in no VOB: " + path);
    return vob->replica;
}

std::string Served_Vob::replica_of_oid(const std::string& oid_text) const {
    if (oid_text.size() == OID_NUMBER_AT + 12 && oid_text.compare(0, OID_NUMBER_AT, oid(0, 0), 0, OID_NUMBER_AT) == 0) {
        const unsigned number = static_cast<unsigned>(std::atoi(oid_text.substr(OID_NUMBER_AT, 6).c_str()));
        if (number >= 1 && number <= m_elements.size()) return m_vobs[element(number).vob].replica;
    }
    throw std::invalid_argument("no object of a served VOB: " + oid_text);
}

// ---- a client's steps ---------------------------------------------------------------------

Served_Vob::Element& Served_Vob::make_element(Kind kind, size_t vob) {
    m_elements.emplace_back(new Element);
    Element& made = *m_elements.back();
    made.number = static_cast<unsigned>(m_elements.size());
    made.kind = kind;
    made.vob = vob;
    return made;
}

Served_Vob::Version& Served_Vob::add_version(Element& element, const std::string& text, bool checked_out,
                                             const std::string& content,
                                             const std::map<std::string, unsigned>& entries) {
    Version version;
    version.object = element.kind == Kind::link ? 0 : static_cast<unsigned>(element.versions.size() + 1);
    version.text = text;
    version.checked_out = checked_out;
    version.content = content;
    version.entries = entries;
    element.versions.push_back(version);
    element.selected = element.versions.size() - 1;
    write_cleartext(element, element.versions.back());
    return element.versions.back();
}

void Served_Vob::write_cleartext(const Element& element, const Version& version) const {
    if (element.kind != Kind::file) return;
    const std::string dir = m_cleartext_dir + "/" + m_vobs[element.vob].replica + "/" + oid(element.number, version.object);
    ::mkdir(dir.c_str(), 0700);
    if (!write_file(dir + "/" + TEXT_MODE, version.content))
        throw std::runtime_error("cannot write the contents of " + dir);
}

void Served_Vob::set_vob(Element& moved, size_t vob) {
    if (moved.vob == vob) return;
    moved.vob = vob;
    for (const Version& version : moved.versions) {
        write_cleartext(moved, version);
        for (const auto& entry : version.entries) set_vob(element(entry.second), vob);
    }
}

std::string Served_Vob::checkout(const std::string& path) {
    Element& element = at(path);
    if (element.kind == Kind::link) throw std::invalid_argument("a link is not checked out: " + path);
    if (selected(element).checked_out) throw std::invalid_argument("checked out already: " + path);
    const Version base = selected(element);
    add_version(element, CHECKED_OUT, true, base.content, base.entries);
    changed();
    return oid(path);
}

std::string Served_Vob::checkin(const std::string& path, const std::optional<std::string>& content) {
    Element& element = at(path);
    if (element.kind == Kind::link) throw std::invalid_argument("a link is not checked in: " + path);
    const Version base = selected(element);
    const std::string text = "/main/" + std::to_string(++element.checked_in);
    const std::string bytes =
        content ? *content : element.kind == Kind::file ? default_content(path, text) : std::string();
    add_version(element, text, false, bytes, base.entries);
    changed();
    return oid(path);
}

std::string Served_Vob::uncheckout(const std::string& path) {
    Element& element = at(path);
    if (!selected(element).checked_out) throw std::invalid_argument("not checked out: " + path);
    size_t latest = element.versions.size();
    while (latest > 0 && element.versions[latest - 1].checked_out) --latest;
    if (latest == 0) throw std::invalid_argument("no version to go back to: " + path);
    element.selected = latest - 1;
    changed();
    return oid(path);
}

Served_Vob::Element& Served_Vob::make(const std::string& path, Kind kind, const std::optional<std::string>& content,
                                      Mkelem_Options options) {
    const Vob* vob = vob_of(path);
    if (options.make_path && vob != nullptr) {
        // The directories above it that are not there yet.
        for (size_t slash = path.find('/', vob->tag.size() + 1); slash != std::string::npos;
             slash = path.find('/', slash + 1)) {
            const std::string dir = path.substr(0, slash);
            if (!exists(dir)) make(dir, Kind::directory, std::nullopt, {});
        }
    }
    std::string leaf;
    Element& dir = parent_of(path, leaf);
    if (selected(dir).entries.count(leaf) != 0) throw std::invalid_argument("there already: " + path);
    const unsigned dir_number = dir.number;
    Element& made = make_element(kind, dir.vob);
    const bool checked_out = options.checked_out && kind != Kind::link;
    const std::string text = checked_out ? CHECKED_OUT : "/main/1";
    const std::string bytes = content ? *content : kind == Kind::file ? default_content(path, text) : std::string();
    add_version(made, text, checked_out, bytes);
    made.checked_in = checked_out ? 0 : 1;
    selected(element(dir_number)).entries[leaf] = made.number;
    return made;
}

std::string Served_Vob::mkelem(const std::string& path, Kind kind, const std::optional<std::string>& content,
                               Mkelem_Options options) {
    make(path, kind, content, options);
    changed();
    return oid(path);
}

void Served_Vob::move(const std::string& from, const std::string& to) {
    std::string old_leaf, new_leaf;
    Element& source = parent_of(from, old_leaf);
    Element& moved = at(from);
    Element& target = parent_of(to, new_leaf);
    if (selected(target).entries.count(new_leaf) != 0) throw std::invalid_argument("there already: " + to);
    if (is_below(to, from)) throw std::invalid_argument("a directory into itself: " + to);
    selected(source).entries.erase(old_leaf);
    selected(target).entries[new_leaf] = moved.number;
    set_vob(moved, target.vob);
    changed();
}

void Served_Vob::rmname(const std::string& path) {
    std::string leaf;
    Element& dir = parent_of(path, leaf);
    if (selected(dir).entries.erase(leaf) == 0) throw std::invalid_argument("no such name: " + path);
    changed();
}

void Served_Vob::merge(const std::string& dir, const std::map<std::string, std::string>& added,
                       const std::vector<std::string>& removed) {
    if (at(dir).kind != Kind::directory) throw std::invalid_argument("not a directory: " + dir);
    for (const auto& file : added) make(path_in(dir, file.first), Kind::file, file.second, {});
    for (const std::string& name : removed) {
        if (selected(at(dir)).entries.erase(name) == 0) throw std::invalid_argument("no such name: " + name);
    }
    changed();
}

void Served_Vob::batch(const std::function<void()>& steps) {
    ++m_batch_depth;
    try {
        steps();
    } catch (...) {
        --m_batch_depth;
        throw;
    }
    if (--m_batch_depth == 0 && m_batch_changed) {
        m_batch_changed = false;
        changed();
    }
}

void Served_Vob::add_root(const std::string& tag, const std::string& replica, const std::string& family) {
    if (vob_of(tag) != nullptr || tag.empty() || tag[0] != '/') throw std::invalid_argument("no new VOB tag: " + tag);
    ::mkdir((m_cleartext_dir + "/" + replica).c_str(), 0700);
    m_vobs.push_back({tag, replica, family, 0});
    Element& root = make_element(Kind::directory, m_vobs.size() - 1);
    add_version(root, "/main/1", false, "");
    root.checked_in = 1;
    m_vobs.back().root = root.number;
}

void Served_Vob::add_vob(const std::string& tag, const std::string& replica, const std::string& family) {
    add_root(tag, replica, family);
    changed();
}

void Served_Vob::set_rule_scope(const std::string& rule, const std::string& scope_oid) {
    const bool known = m_rule_scopes.count(rule) != 0;
    m_rule_scopes[rule] = scope_oid;
    // A new rule changes which scope its objects load into.
    if (known)
        publish();
    else
        changed();
}

void Served_Vob::drop_load_rule(const std::string& rule) {
    if (m_rule_scopes.erase(rule) == 0) throw std::invalid_argument("no load rule " + rule);
    changed();
}

void Served_Vob::add_rule_before(const std::string& text) {
    m_rules_before.push_back(text);
    publish();
}

void Served_Vob::add_fault(const std::string& rpc, const std::string& fault, unsigned times) {
    m_faults.push_back({rpc, json::parse(fault), times});
    publish();
}

void Served_Vob::changed() {
    if (m_batch_depth > 0) {
        m_batch_changed = true;
        return;
    }
    ++m_gn;
    m_snapshots[m_gn] = snapshot();
    publish();
}

void Served_Vob::publish() const {
    if (m_publish) m_publish(rules());
}

// ---- the server's records -----------------------------------------------------------------

long Served_Vob::mtime_of(const Element& element, const Version& version) const {
    return BASE_TIME + static_cast<long>(element.number) * 3600 + static_cast<long>(version.object) * 60;
}

json Served_Vob::version_vstat(const Element& element, const Version& version) const {
    const bool dir = element.kind == Kind::directory;
    const bool link = element.kind == Kind::link;
    const json time = {mtime_of(element, version), 0};
    json vstat = {{"fstat",
                   {{"type", dir ? DIRECTORY_TYPE : link ? LINK_TYPE : REGULAR},
                    {"mode", dir ? 0755 : link ? 0777 : 0444},
                    {"nlink", dir ? 2 : 1},
                    {"size", dir ? 0 : version.content.size()},
                    {"atime", time},
                    {"mtime", time},
                    {"ctime", time}}},
                  {"mtype", dir ? DIR_VERSION : link ? SYMLINK : FILE_VERSION},
                  {"obj_oid", oid(element.number, version.object)},
                  {"elem_oid", oid(element.number)},
                  {"checked_out", version.checked_out}};
    if (link) vstat["link_text"] = version.content;
    return vstat;
}

json Served_Vob::element_vstat(const Element& element) const {
    if (element.kind == Kind::link) return version_vstat(element, selected(element));
    const bool dir = element.kind == Kind::directory;
    return {{"fstat", {{"type", dir ? DIRECTORY_TYPE : REGULAR}, {"mode", dir ? 0755 : 0444}, {"nlink", 1}}},
            {"mtype", dir ? DIR_ELEMENT : FILE_ELEMENT},
            {"obj_oid", oid(element.number)},
            {"elem_oid", oid(element.number)}};
}

json Served_Vob::scope_of(const std::string& rule) const {
    const auto it = m_rule_scopes.find(rule);
    const std::string scope = it != m_rule_scopes.end() && !it->second.empty() ? it->second : AUTO_SCOPE;
    return {{"scope_oid", scope}, {"gn", m_gn}};
}

json Served_Vob::metadata(const Element& element, const std::string& rule) const {
    return {{"scope", scope_of(rule)}, {"obj", version_vstat(element, selected(element))}, {"elem", element_vstat(element)}};
}

std::string Served_Vob::rule_of(const std::string& path) const {
    for (const auto& rule : m_rule_scopes)
        if (is_below(path, rule.first)) return rule.first;
    return "";
}

Served_Vob::Snapshot Served_Vob::snapshot() const {
    Snapshot out;
    for (const Vob& vob : m_vobs) add_loaded(out, vob.tag, element(vob.root), 0);
    return out;
}

void Served_Vob::add_loaded(Snapshot& out, const std::string& path, const Element& loaded, unsigned parent) const {
    const Version& version = selected(loaded);
    out.push_back({path, loaded.number, loaded.vob, parent, oid(loaded.number, version.object), version.text,
                   rule_of(path), version_vstat(loaded, version), element_vstat(loaded)});
    for (const auto& entry : version.entries)
        add_loaded(out, path_in(path, entry.first), element(entry.second), loaded.number);
}

json Served_Vob::load_entry(const Loaded& loaded, const std::string& previous) const {
    const Vob& vob = m_vobs[loaded.vob];
    return {{"elem",
             {{"path", loaded.path},
              {"parent", loaded.parent == 0 ? vob.family : oid(loaded.parent)},
              {"replica", vob.replica},
              {"oid", loaded.oid},
              {"prev", previous},
              {"cur", loaded.text},
              {"obj", loaded.obj},
              {"elem", loaded.elem}}}};
}

void Served_Vob::stream_vob(json& stream, const Snapshot& before, const Snapshot& now, const std::string& rule,
                            size_t vob) const {
    const Vob& served = m_vobs[vob];
    stream.push_back({{"vob", {{"replica", served.replica}, {"family", served.family}}}});
    std::map<std::string, const Loaded*> old;
    for (const Loaded& loaded : before) old[loaded.path] = &loaded;
    std::set<std::string> current;
    // A directory whose version changed has all its names anew.
    std::set<unsigned> renewed;
    for (const Loaded& loaded : now) {
        const auto it = old.find(loaded.path);
        const bool changed = it == old.end() || renewed.count(loaded.parent) != 0 || it->second->oid != loaded.oid ||
                             it->second->rule != loaded.rule || it->second->obj != loaded.obj ||
                             it->second->elem != loaded.elem;
        if (changed) renewed.insert(loaded.element);
        if (loaded.rule != rule || loaded.vob != vob) continue;
        current.insert(loaded.path);
        if (changed) stream.push_back(load_entry(loaded, it == old.end() ? "" : it->second->text));
    }
    // What is gone, the deepest first.
    for (auto it = before.rbegin(); it != before.rend(); ++it) {
        if (it->rule != rule || it->vob != vob || current.count(it->path) != 0) continue;
        stream.push_back({{"elem",
                           {{"path", it->path},
                            {"parent", it->parent == 0 ? served.family : oid(it->parent)},
                            {"replica", served.replica},
                            {"oid", it->oid},
                            {"prev", it->text}}}});
    }
    stream.push_back({{"end", "vob"}});
}

void Served_Vob::stream_scope(json& stream, const Snapshot& before, const Snapshot& now,
                              const std::string& rule) const {
    if (rule.empty()) {
        stream.push_back({{"scope", {{"scope_oid", AUTO_SCOPE}, {"gn", m_gn}}}});
        for (size_t vob = 0; vob < m_vobs.size(); ++vob) stream_vob(stream, before, now, rule, vob);
    } else {
        stream.push_back({{"scope", {{"pname", rule}, {"gn", m_gn}}}, {"oid_from_request", true}});
        stream_vob(stream, before, now, rule, static_cast<size_t>(vob_of(rule) - m_vobs.data()));
    }
    stream.push_back({{"end", "scope"}});
}

json Served_Vob::stream_since(unsigned view_gn, const Snapshot& now) const {
    const auto it = m_snapshots.find(view_gn);
    const Snapshot none;
    const Snapshot& before = it != m_snapshots.end() ? it->second : none;
    json stream = json::array({{{"begin", m_gn}}});
    stream_scope(stream, before, now, "");
    for (const auto& rule : m_rule_scopes) stream_scope(stream, before, now, rule.first);
    stream.push_back({{"end", "operation"}});
    return stream;
}

json Served_Vob::surgical_stream(const std::string& path, const Snapshot& now) const {
    json stream = json::array({{{"begin", m_gn}}});
    for (const Loaded& loaded : now)
        if (is_below(loaded.path, path)) stream.push_back(load_entry(loaded, ""));
    stream.push_back({{"end", "operation"}});
    return stream;
}

std::vector<json> Served_Vob::vob_rules() const {
    std::vector<json> rules;
    std::set<std::string> rule_tags;
    for (const auto& load_rule : m_rule_scopes) rule_tags.insert(vob_of(load_rule.first)->tag);
    json rule_vobs = json::array();
    for (const Vob& vob : m_vobs) {
        rules.push_back(rule({{"rpc", VOBINFO_RPC}, {"args", {{"VobTag", vob.tag}}}},
                             {{"vobinfo",
                               {{"VobFamilyUuid", vob.family},
                                {"VobReplicaUuid", vob.replica},
                                {"VobStorage", "host:/store" + vob.tag + ".vbs"},
                                {"IsPublic", "1"},
                                {"IsProject", "0"}}}}));
        rules.push_back(rule({{"rpc", METADATA_RPC}, {"args", {{"VobUuid", vob.replica}}}},
                             {{"metadata", metadata(element(vob.root), rule_of(vob.tag))}}));
        if (rule_tags.count(vob.tag) != 0) rule_vobs.push_back({{"id", "LoadRuleVobTag"}, {"items", {{"VobTag", vob.tag}}}});
    }
    rules.push_back(rule({{"rpc", METADATA_RPC}}, not_there("no such VOB")));

    // Every directory version's listing and names; a name's load rule is
    // that of the path it has now.
    const Snapshot now = snapshot();
    std::map<unsigned, std::string> path_of;
    for (const Loaded& loaded : now) path_of[loaded.element] = loaded.path;
    for (const auto& dir : m_elements) {
        if (dir->kind != Kind::directory) continue;
        const auto where = path_of.find(dir->number);
        for (const Version& version : dir->versions) {
            const std::string version_oid = oid(dir->number, version.object);
            json listing = json::array();
            for (const auto& entry : version.entries) {
                const Element& child = element(entry.second);
                const json meta =
                    metadata(child, where != path_of.end() ? rule_of(path_in(where->second, entry.first)) : "");
                json item = {{"dirent", {{"name", entry.first}, {"ver_oid", oid(child.number, selected(child).object)}}}};
                item.update(meta);
                listing.push_back(item);
                rules.push_back(rule({{"rpc", LOOKUP_RPC}, {"args", {{"VersionOid", version_oid}, {"LeafName", entry.first}}}},
                                     {{"metadata", meta}}));
            }
            rules.push_back(rule({{"rpc", DIRECTORY_RPC}, {"args", {{"VersionOid", version_oid}}}}, {{"directory", listing}}));
        }
    }
    rules.push_back(rule({{"rpc", LOOKUP_RPC}}, not_there("no such name")));
    rules.push_back(rule({{"rpc", DIRECTORY_RPC}}, not_there("no such directory version")));

    // Updates: from each generation the server was at, from nothing, and
    // by path.
    for (const auto& at : m_snapshots)
        rules.push_back(rule({{"rpc", SYNC_RPC}, {"args", {{"UsePaths", "0"}, {"ViewGn", std::to_string(at.first)}}}},
                             {{"stream", stream_since(at.first, now)}}));
    rules.push_back(rule({{"rpc", SYNC_RPC}, {"args", {{"UsePaths", "0"}}}}, {{"stream", stream_since(0, now)}}));
    for (const Loaded& loaded : now)
        rules.push_back(rule({{"rpc", SYNC_RPC}, {"args", {{"UsePaths", "1"}, {"ScopePath", loaded.path}}}},
                             {{"stream", surgical_stream(loaded.path, now)}}));
    rules.push_back(rule({{"rpc", SYNC_RPC}, {"args", {{"UsePaths", "1"}}}},
                         {{"stream", json::array({{{"begin", m_gn}}, {{"end", "operation"}}})}}));
    rules.push_back(rule({{"rpc", SET_CONFIG_SPEC_RPC}}, {{"parts", rule_vobs}}));
    return rules;
}

std::string Served_Vob::rules() const {
    std::vector<json> rules;
    for (const std::string& before : m_rules_before) rules.push_back(json::parse(before));
    const std::vector<json> own = vob_rules();
    for (const Fault& fault : m_faults) {
        for (const json& served : own) {
            if (served["match"].value("rpc", "") != fault.rpc) continue;
            json copy = served;
            copy["fault"] = fault.fault;
            copy["times"] = fault.times;
            rules.push_back(copy);
        }
    }
    rules.insert(rules.end(), own.begin(), own.end());
    std::string text;
    for (const json& one : rules) text += (text.empty() ? "" : ",\n") + one.dump();
    return text;
}

} // namespace e2e
