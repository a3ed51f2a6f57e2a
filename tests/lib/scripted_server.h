#pragma once
// The remote server of in-process tests, at the boundary where content
// fetch asks it (OstrelAgent_Metadata_Rpc): VOB trees that a test scripts
// (objects with their status and, for directory versions, their names),
// answered as the server answers the root, look-up and listing commands,
// with a count of the questions, failures forced for the next ones and a
// hook that sees (and may hold) each question. The real miss handlers,
// directory fetch and view database run above it; lib/fetch's and the
// end-to-end tests ask the test HTTPS server instead.
//
// Made on a test's stack, it answers until it goes.

#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "lib/core/ostrelagent_status.h"
#include "lib/fetch/ostrelagent_metadata_rpc.h"
#include "platform/qel/qel.h"

namespace scripted_server {

// An object of a VOB tree, as the server knows it.
struct Object {
    // The script's own number for the object, by which entries and
    // `selected` name it; the view database gives it a dbid of its own.
    unsigned id = 0;
    qel_oid_s oid = QEL_OID_NULL;
    vob_mtype_t mtype = 0;
    unsigned elem_id = 0;  // a version's element; 0 for the other kinds
    qel_fstat_db_s fstat{};
    bool checked_out = false;
    // The version that a name of this element selects.
    unsigned selected = 0;
    // A directory version's names and what they list (an element stands for
    // the version it selects).
    std::vector<std::pair<std::string, unsigned>> entries;
    std::string link_text;  // a symbolic link's target
};

class Scripted_Server final : public OstrelAgent_Metadata_Rpc {
public:
    enum Call : int { ROOT, LOOKUP, LISTING, CALLS };

    Scripted_Server() { install_for_test(this); }
    ~Scripted_Server() override { install_for_test(nullptr); }
    Scripted_Server(const Scripted_Server&) = delete;
    Scripted_Server& operator=(const Scripted_Server&) = delete;

    // Adds (or replaces) an object of the VOB's tree.
    void object(const qel_uuid_s& vob, const Object& o) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_trees[key(vob)].objects[o.id] = o;
    }
    // Makes `elem_id` the VOB's root element.
    void root(const qel_uuid_s& vob, unsigned elem_id) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_trees[key(vob)].root = elem_id;
    }
    // The next `times` questions of `call` fail with `status` (20049: the
    // server reported `detail`; 20048: the call did not complete).
    void fail(Call call, int status, int detail, unsigned times) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_forced[call] = {status, detail, times};
    }
    unsigned calls(Call call) {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_calls[call];
    }
    // `hook` sees each question before it is answered, on the asking
    // thread (it may wait there, as a slow server does); null: none.
    void on_question(std::function<void(Call)> hook) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_hook = std::move(hook);
    }
    // Runs `step` on the listing's thread once a listing's names have been
    // handed over, before the listing ends (null: nothing).
    void after_listing(std::function<void()> step) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_after_listing = std::move(step);
    }

    int get_root(const qel_uuid_s&, const qel_uuid_s& vob, OstrelAgent_Log_Base&, Object_Reply& out,
                 std::string& msg, int& detail) override {
        Object element, version;
        before(ROOT);
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            if (int forced = begin(ROOT, msg, detail)) return forced;
            const Tree* tree = find(vob);
            if (tree == nullptr || !get(*tree, tree->root, element) || !get(*tree, element.selected, version))
                return not_found(msg, detail, "no such VOB");
        }
        answer(version, element, out);
        return 0;
    }

    int lookup(const qel_uuid_s&, const qel_uuid_s& vob, const qel_oid_s& dir_ver, const qel_oid_s&,
               const std::string& name, OstrelAgent_Log_Base&, Object_Reply& out, std::string& msg,
               int& detail) override {
        Object listed;
        ostrel_vstat obj{};
        view_vstat elem{};
        before(LOOKUP);
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            if (int forced = begin(LOOKUP, msg, detail)) return forced;
            const Tree* tree = find(vob);
            Object dir;
            if (tree == nullptr || !get(*tree, dir_ver, dir)) return not_found(msg, detail, "no such directory");
            bool found = false;
            for (const auto& entry : dir.entries)
                if (entry.first == name) found = get(*tree, entry.second, listed) && records(*tree, listed, obj, elem);
            if (!found) return not_found(msg, detail, "no such name");
        }
        out.obj = obj;
        out.elem = {};
        out.elem.vstat = elem;
        out.server_status = 0;
        return 0;
    }

    int get_directory_contents(const qel_uuid_s&, const qel_uuid_s& vob, const qel_oid_s& ver, const qel_oid_s&,
                               Get_Directory_Contents_Listener& listener, OstrelAgent_Log_Base&, std::string& msg,
                               int& detail) override {
        std::vector<ostrel_extended_dirent> entries;
        before(LISTING);
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            if (int forced = begin(LISTING, msg, detail)) return forced;
            const Tree* tree = find(vob);
            Object dir;
            if (tree == nullptr || !get(*tree, ver, dir)) return not_found(msg, detail, "no such directory");
            for (const auto& entry : dir.entries) {
                ostrel_extended_dirent e{};
                std::snprintf(e.dirent.name, sizeof e.dirent.name, "%s", entry.first.c_str());
                e.dirent.namlen = static_cast<uint16_t>(entry.first.size());
                Object listed;
                if (get(*tree, entry.second, listed)) records(*tree, listed, e.obj_vstat, e.elem_vstat.vstat);
                e.dirent.obj_oid = e.elem_vstat.vstat.obj_oid;
                e.dirent.ver_oid = e.obj_vstat.vstat.obj_oid;
                e.dirent.ver_mtype = e.obj_vstat.vstat.mtype;
                entries.push_back(e);
            }
        }
        // As the reply streams in, without the script's lock.
        for (ostrel_extended_dirent& e : entries) listener.process_dirent(&e);
        std::function<void()> step;
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            step = m_after_listing;
        }
        if (step) step();
        return 0;
    }

private:
    struct Tree {
        std::map<unsigned, Object> objects;
        unsigned root = 0;
    };
    struct Forced {
        int status = 0;
        int detail = 0;
        unsigned times = 0;
    };

    static std::string key(const qel_uuid_s& vob) {
        return std::string(reinterpret_cast<const char*>(vob.bytes), sizeof vob.bytes);
    }
    const Tree* find(const qel_uuid_s& vob) const {
        auto it = m_trees.find(key(vob));
        return it == m_trees.end() ? nullptr : &it->second;
    }
    static bool get(const Tree& tree, unsigned id, Object& out) {
        auto it = tree.objects.find(id);
        if (it == tree.objects.end()) return false;
        out = it->second;
        return true;
    }
    static bool get(const Tree& tree, const qel_oid_s& oid, Object& out) {
        for (const auto& entry : tree.objects) {
            if (!qel_oid_eq(&entry.second.oid, &oid)) continue;
            out = entry.second;
            return true;
        }
        return false;
    }

    void before(Call call) {
        std::function<void(Call)> hook;
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            hook = m_hook;
        }
        if (hook) hook(call);
    }

    // Counts the question; a forced failure comes back non-zero.
    int begin(Call call, std::string& msg, int& detail) {
        m_calls[call]++;
        Forced& f = m_forced[call];
        if (f.times == 0) return 0;
        f.times--;
        detail = f.detail;
        msg += "forced failure";
        return f.status;
    }
    static int not_found(std::string& msg, int& detail, const char* text) {
        detail = QEL_ST_NOT_FOUND;
        msg += text;
        return OstrelAgent_Status::RPC_SERVER_FAILURE;
    }

    // The status the server sends for an object whose element has `elem_oid`.
    static ostrel_vstat record(const Object& o, const qel_oid_s& elem_oid) {
        ostrel_vstat out{};
        out.vstat.fstat = o.fstat;
        out.vstat.mtype = o.mtype;
        out.vstat.obj_oid = o.oid;
        out.vstat.elem_oid = elem_oid;
        out.checked_out = o.checked_out;
        std::snprintf(out.link_text, sizeof out.link_text, "%s", o.link_text.c_str());
        return out;
    }
    static bool is_element(vob_mtype_t mtype) { return mtype == 2 || mtype == 5; }
    // What a name that lists `listed` describes: the object (the version an
    // element selects) and its element (none for a symbolic link).
    static bool records(const Tree& tree, const Object& listed, ostrel_vstat& obj, view_vstat& elem) {
        elem = view_vstat{};
        if (listed.mtype == 7) {
            obj = record(listed, QEL_OID_NULL);
            return true;
        }
        Object element, version;
        if (is_element(listed.mtype)) {
            element = listed;
            if (!get(tree, listed.selected, version)) return false;
        } else {
            version = listed;
            if (!get(tree, listed.elem_id, element)) return false;
        }
        obj = record(version, element.oid);
        elem = record(element, element.oid).vstat;
        return true;
    }
    void answer(const Object& version, const Object& element, Object_Reply& out) const {
        out.obj = record(version, element.oid);
        out.elem = record(element, element.oid);
        out.server_status = 0;
    }

    std::mutex m_mutex;
    std::map<std::string, Tree> m_trees;
    unsigned m_calls[CALLS] = {};
    Forced m_forced[CALLS];
    std::function<void(Call)> m_hook;
    std::function<void()> m_after_listing;
};

} // namespace scripted_server
