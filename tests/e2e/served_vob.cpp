#include "served_vob.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <stdexcept>

#include "process_harness.h"

namespace e2e {

using nlohmann::json;

const char* const Served_Vob::TAG = "/vob1";
const char* const Served_Vob::LOAD_RULE = "/vob1/sub";
const char* const Served_Vob::REPLICA = "9a000000-0000-4000-8000-0000000000b1";
const char* const Served_Vob::FAMILY = "9f000000-0000-4000-8000-0000000000b1";
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
// The versions' times: distinct per version, far from the test's own.
const long BASE_TIME = 1600000000;

// The file type and object kinds of the server's records.
const unsigned REGULAR = 1, DIRECTORY_TYPE = 2, LINK_TYPE = 5;
const unsigned DIR_ELEMENT = 2, DIR_VERSION = 3, FILE_ELEMENT = 5, FILE_VERSION = 6, SYMLINK = 7;

json not_there(const char* what) { return {{"status", {{"code", 1052}, {"message", what}}}}; }

json rule(json match, json reply) { return {{"match", std::move(match)}, {"reply", std::move(reply)}}; }

std::string path_in(const std::string& dir, const std::string& name) { return dir + "/" + name; }

// The directory part and the leaf of a path.
std::pair<std::string, std::string> split(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0 || slash + 1 == path.size())
        throw std::invalid_argument("no name in the VOB: " + path);
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
    ::mkdir((m_cleartext_dir + "/" + REPLICA).c_str(), 0700);
    Element& root = make_element(Kind::directory);
    add_version(root, "/main/1", false, "");
    root.checked_in = 1;
    for (const char* file : {"/vob1/a.c", "/vob1/b.c"}) make(file, Kind::file, std::nullopt, {});
    make("/vob1/dir/c.c", Kind::file, std::nullopt, {true, false});
    make("/vob1/link", Kind::link, std::string("a.c"), {});
    make("/vob1/sub/s.c", Kind::file, std::nullopt, {true, false});
    m_rule_scopes[LOAD_RULE] = "";
    m_snapshots[m_gn] = snapshot();
}

// ---- what the server holds ----------------------------------------------------------------

const Served_Vob::Element* Served_Vob::find(const std::string& path) const {
    const std::string tag = TAG;
    if (path.compare(0, tag.size(), tag) != 0 || (path.size() > tag.size() && path[tag.size()] != '/'))
        return nullptr;
    const Element* at = m_elements.front().get();
    size_t start = tag.size() + 1;
    while (start <= path.size() && path.size() > tag.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        const std::string name = path.substr(start, end - start);
        if (at->kind != Kind::directory) return nullptr;
        const auto& entries = selected(*at).entries;
        const auto it = entries.find(name);
        if (it == entries.end()) return nullptr;
        at = m_elements[it->second - 1].get();
        start = end + 1;
    }
    return at;
}

const Served_Vob::Element& Served_Vob::at(const std::string& path) const {
    const Element* element = find(path);
    if (element == nullptr) throw std::invalid_argument("nothing in the VOB at " + path);
    return *element;
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
    const Element& element = at(path);
    return oid(element.number, selected(element).object);
}

std::string Served_Vob::element_oid(const std::string& path) const { return oid(at(path).number); }

std::string Served_Vob::version(const std::string& path) const { return selected(at(path)).text; }

bool Served_Vob::checked_out(const std::string& path) const { return selected(at(path)).checked_out; }

std::string Served_Vob::content(const std::string& path) const { return selected(at(path)).content; }

long Served_Vob::mtime(const std::string& path) const {
    const Element& element = at(path);
    return mtime_of(element, selected(element));
}

unsigned Served_Vob::mode(const std::string& path) const {
    const Element& element = at(path);
    return element.kind == Kind::directory ? 0755 : element.kind == Kind::link ? 0777 : 0444;
}

std::vector<std::string> Served_Vob::names(const std::string& dir) const {
    std::vector<std::string> out;
    for (const auto& entry : selected(at(dir)).entries) out.push_back(entry.first);
    return out;
}

std::string Served_Vob::parent_oid(const std::string& path) const { return oid(split(path).first); }

// ---- a client's steps ---------------------------------------------------------------------

Served_Vob::Element& Served_Vob::make_element(Kind kind) {
    m_elements.emplace_back(new Element);
    Element& element = *m_elements.back();
    element.number = static_cast<unsigned>(m_elements.size());
    element.kind = kind;
    return element;
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
    const std::string dir = m_cleartext_dir + "/" + REPLICA + "/" + oid(element.number, version.object);
    ::mkdir(dir.c_str(), 0700);
    if (!write_file(dir + "/" + TEXT_MODE, version.content))
        throw std::runtime_error("cannot write the contents of " + dir);
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
    if (options.make_path) {
        // The directories above it that are not there yet.
        const std::string tag = TAG;
        for (size_t slash = path.find('/', tag.size() + 1); slash != std::string::npos;
             slash = path.find('/', slash + 1)) {
            const std::string dir = path.substr(0, slash);
            if (!exists(dir)) make(dir, Kind::directory, std::nullopt, {});
        }
    }
    std::string leaf;
    Element& dir = parent_of(path, leaf);
    if (selected(dir).entries.count(leaf) != 0) throw std::invalid_argument("there already: " + path);
    const unsigned dir_number = dir.number;
    Element& element = make_element(kind);
    const bool checked_out = options.checked_out && kind != Kind::link;
    const std::string text = checked_out ? CHECKED_OUT : "/main/1";
    const std::string bytes = content ? *content : kind == Kind::file ? default_content(path, text) : std::string();
    add_version(element, text, checked_out, bytes);
    element.checked_in = checked_out ? 0 : 1;
    selected(*m_elements[dir_number - 1]).entries[leaf] = element.number;
    return element;
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
    const unsigned element = at(from).number;
    Element& target = parent_of(to, new_leaf);
    if (selected(target).entries.count(new_leaf) != 0) throw std::invalid_argument("there already: " + to);
    selected(source).entries.erase(old_leaf);
    selected(target).entries[new_leaf] = element;
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

void Served_Vob::set_rule_scope(const std::string& rule, const std::string& scope_oid) {
    m_rule_scopes[rule] = scope_oid;
    publish();
}

void Served_Vob::add_rule_before(const std::string& text) {
    m_rules_before.push_back(text);
    publish();
}

void Served_Vob::changed() {
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
        if (path == rule.first || path.compare(0, rule.first.size() + 1, rule.first + "/") == 0) return rule.first;
    return "";
}

Served_Vob::Snapshot Served_Vob::snapshot() const {
    Snapshot out;
    add_loaded(out, TAG, *m_elements.front(), 0);
    return out;
}

void Served_Vob::add_loaded(Snapshot& out, const std::string& path, const Element& element, unsigned parent) const {
    const Version& version = selected(element);
    out.push_back({path, element.number, parent, oid(element.number, version.object), version.text, rule_of(path),
                   version_vstat(element, version), element_vstat(element)});
    for (const auto& entry : version.entries)
        add_loaded(out, path_in(path, entry.first), *m_elements[entry.second - 1], element.number);
}

json Served_Vob::load_entry(const Loaded& loaded, const std::string& previous) const {
    return {{"elem",
             {{"path", loaded.path},
              {"parent", loaded.parent == 0 ? std::string(FAMILY) : oid(loaded.parent)},
              {"replica", REPLICA},
              {"oid", loaded.oid},
              {"prev", previous},
              {"cur", loaded.text},
              {"obj", loaded.obj},
              {"elem", loaded.elem}}}};
}

void Served_Vob::stream_scope(json& stream, const Snapshot& before, const Snapshot& now,
                              const std::string& rule) const {
    if (rule.empty())
        stream.push_back({{"scope", {{"scope_oid", AUTO_SCOPE}, {"gn", m_gn}}}});
    else
        stream.push_back({{"scope", {{"pname", rule}, {"gn", m_gn}}}, {"oid_from_request", true}});
    stream.push_back({{"vob", {{"replica", REPLICA}, {"family", FAMILY}}}});
    std::map<std::string, const Loaded*> old;
    for (const Loaded& loaded : before) old[loaded.path] = &loaded;
    std::map<std::string, const Loaded*> current;
    // A directory whose version changed has all its names anew.
    std::set<unsigned> renewed;
    for (const Loaded& loaded : now) {
        const auto it = old.find(loaded.path);
        const bool changed = it == old.end() || renewed.count(loaded.parent) != 0 || it->second->oid != loaded.oid ||
                             it->second->obj != loaded.obj || it->second->elem != loaded.elem;
        if (changed) renewed.insert(loaded.element);
        if (loaded.rule != rule) continue;
        current[loaded.path] = &loaded;
        if (changed) stream.push_back(load_entry(loaded, it == old.end() ? "" : it->second->text));
    }
    // What is gone, the deepest first.
    for (auto it = before.rbegin(); it != before.rend(); ++it) {
        if (it->rule != rule || current.count(it->path) != 0) continue;
        stream.push_back({{"elem",
                           {{"path", it->path},
                            {"parent", it->parent == 0 ? std::string(FAMILY) : oid(it->parent)},
                            {"replica", REPLICA},
                            {"oid", it->oid},
                            {"prev", it->text}}}});
    }
    stream.push_back({{"end", "vob"}});
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
        if (loaded.path == path || loaded.path.compare(0, path.size() + 1, path + "/") == 0)
            stream.push_back(load_entry(loaded, ""));
    stream.push_back({{"end", "operation"}});
    return stream;
}

std::string Served_Vob::rules() const {
    json rules = json::array();
    for (const std::string& before : m_rules_before) rules.push_back(json::parse(before));
    rules.push_back(rule({{"rpc", VOBINFO_RPC}, {"args", {{"VobTag", TAG}}}},
                         {{"vobinfo",
                           {{"VobFamilyUuid", FAMILY},
                            {"VobReplicaUuid", REPLICA},
                            {"VobStorage", "host:/store/vob1.vbs"},
                            {"IsPublic", "1"},
                            {"IsProject", "0"}}}}));
    rules.push_back(rule({{"rpc", METADATA_RPC}}, {{"metadata", metadata(*m_elements.front(), "")}}));

    // Every directory version's listing and names; a name's rule is that of
    // the path it has now.
    const Snapshot now = snapshot();
    std::map<unsigned, std::string> path_of;
    for (const Loaded& loaded : now) path_of[loaded.element] = loaded.path;
    for (const auto& element : m_elements) {
        if (element->kind != Kind::directory) continue;
        const std::string dir_path = path_of.count(element->number) != 0 ? path_of[element->number] : "";
        for (const Version& version : element->versions) {
            const std::string version_oid = oid(element->number, version.object);
            json listing = json::array();
            for (const auto& entry : version.entries) {
                const Element& child = *m_elements[entry.second - 1];
                json meta = metadata(child, dir_path.empty() ? "" : rule_of(path_in(dir_path, entry.first)));
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
    for (const auto& snapshot : m_snapshots)
        rules.push_back(rule({{"rpc", SYNC_RPC}, {"args", {{"UsePaths", "0"}, {"ViewGn", std::to_string(snapshot.first)}}}},
                             {{"stream", stream_since(snapshot.first, now)}}));
    rules.push_back(rule({{"rpc", SYNC_RPC}, {"args", {{"UsePaths", "0"}}}}, {{"stream", stream_since(0, now)}}));
    for (const Loaded& loaded : now)
        rules.push_back(rule({{"rpc", SYNC_RPC}, {"args", {{"UsePaths", "1"}, {"ScopePath", loaded.path}}}},
                             {{"stream", surgical_stream(loaded.path, now)}}));
    rules.push_back(rule({{"rpc", SYNC_RPC}, {"args", {{"UsePaths", "1"}}}},
                         {{"stream", json::array({{{"begin", m_gn}}, {{"end", "operation"}}})}}));
    rules.push_back(rule({{"rpc", SET_CONFIG_SPEC_RPC}},
                         {{"parts", json::array({{{"id", "LoadRuleVobTag"}, {"items", {{"VobTag", TAG}}}}})}}));

    std::string text;
    for (const json& one : rules) text += (text.empty() ? "" : ",\n") + one.dump();
    return text;
}

} // namespace e2e
