#pragma once
// The VOBs that the test server serves to the element operations' tests, as
// a model of what the server holds: a test edits it the way a client's step
// changes a VOB on the server (a checkout, a checkin, a new element, a
// move, a removed name, a merged directory, a cancelled checkout), and each
// edit gives the server its new rules at once (through the publish hook),
// so that whatever the daemon asks next is answered from the new state.
//
// Numbering, so that a test names every object by its path:
//   - element n (numbered across all VOBs) has the oid
//     0e000000-0000-4000-8000-NNNNNN000000 (n in six decimal digits); its
//     k-th version object (k from 1, a checked-out version being one of
//     them) ends in NNNNNNKKKKKK instead: oid(n, k);
//   - a symbolic link is its own version (object 0);
//   - checked-in versions are "/main/1", "/main/2", ...; a checked-out
//     version is "/main/CHECKEDOUT". The view selects a checked-out version
//     before the latest checked-in one;
//   - a version's times are its own (mtime()), its mode 0444 (a directory
//     0755, a link 0777).
// Paths are the view-relative paths that requests carry ("/vob1/dir/c.c").
//
// At first the VOB "/vob1" holds:
//   /vob1            directory, element 1
//   /vob1/a.c        file, element 2
//   /vob1/b.c        file, element 3
//   /vob1/dir        directory, element 4, holding c.c (element 5)
//   /vob1/link       symbolic link to "a.c", element 6
//   /vob1/sub        directory, element 7, holding s.c (element 8), the
//                    directory of the load rule "/vob1/sub"
// add_vob() adds another, empty VOB (a move across VOBs).
//
// What the server answers (rules()):
//   - Get_VOBInfo of each tag, each VOB root's metadata;
//   - for every directory version ever made: its listing, and a look-up of
//     each of its names (the entry's selected version); any other name is
//     not there (1052);
//   - a full update from view generation g: the changes since the server
//     was at g (its first generation is 2; from 1, everything), the
//     automatic scope first (each VOB in turn), then each load rule's scope
//     under the id the view sent (left out when it sent none);
//   - an update by path: the path's selected version and everything below
//     it, or an empty stream for a path that is not there;
//   - SetConfigSpec: the tags of the VOBs that hold load rules;
//   - every file version's contents under /cltxt (written into the
//     cleartext directory when the version is made).
// Objects under a load rule carry the rule's scope once the test has told
// its id (set_rule_scope), the automatic scope before that.

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace e2e {

class Served_Vob {
public:
    enum class Kind { file, directory, link };

    // The first VOB's tag, replica uuid and family oid.
    static const char* const TAG;
    static const char* const REPLICA;
    static const char* const FAMILY;
    // The directory of its load rule.
    static const char* const LOAD_RULE;
    // The id of the automatic load scope.
    static const char* const AUTO_SCOPE;
    // The view's text mode, which names the contents' files.
    static const char* const TEXT_MODE;

    // The contents a new file version gets unless a test gives them.
    static std::string default_content(const std::string& path, const std::string& version);

    // The first contents, their versions' contents written under
    // `cleartext_dir` (as UUID/OID/MODE).
    explicit Served_Vob(const std::string& cleartext_dir);

    // Called with rules() after every change.
    void on_change(std::function<void(const std::string& rules)> publish) { m_publish = std::move(publish); }

    static std::string oid(unsigned element, unsigned object = 0);

    // What the server holds now, by path. A path that names nothing throws
    // std::invalid_argument.
    bool exists(const std::string& path) const;
    Kind kind(const std::string& path) const;
    std::string oid(const std::string& path) const;          // the selected version's
    std::string element_oid(const std::string& path) const;
    std::string version(const std::string& path) const;      // "/main/2", "/main/CHECKEDOUT"
    bool checked_out(const std::string& path) const;
    std::string content(const std::string& path) const;      // a file's bytes, a link's text
    long mtime(const std::string& path) const;               // also the access and change time
    unsigned mode(const std::string& path) const;
    std::vector<std::string> names(const std::string& dir) const;  // sorted
    // The oid of the directory version that holds the path's name.
    std::string parent_oid(const std::string& path) const;
    // The replica uuid of the VOB that holds a path, or an object.
    std::string replica(const std::string& path) const;
    std::string replica_of_oid(const std::string& oid) const;
    // The generation the server is at: 2 at first, one more per change.
    unsigned gn() const { return m_gn; }

    // A client's steps on the server; each returns the oid of the version
    // that the view now selects for the path where one was made.
    //
    // Checks out the selected version: a new version object, checked out,
    // with the same contents (a directory: the same names).
    std::string checkout(const std::string& path);
    // Checks in: a new version ("/main/N", a new oid) with `content` (by
    // default a text naming the new version; a directory keeps its names);
    // the checkout, if any, is gone.
    std::string checkin(const std::string& path, const std::optional<std::string>& content = std::nullopt);
    // Cancels the checkout: the latest checked-in version is selected again.
    std::string uncheckout(const std::string& path);
    // Makes a new element under an existing directory: a file (`content`,
    // by default a text naming it), a directory or a link (`content` its
    // text). Options {make_path, checked_out}: with make_path the missing
    // directories above it are made too, as new directory elements; a file
    // made checked out has only its checked-out version.
    struct Mkelem_Options {
        bool make_path;
        bool checked_out;
    };
    std::string mkelem(const std::string& path, Kind kind = Kind::file,
                       const std::optional<std::string>& content = std::nullopt, Mkelem_Options options = {});
    // Moves a name (within its directory, to another one, or to another
    // VOB's: the element then belongs to that VOB).
    void move(const std::string& from, const std::string& to);
    // Removes a name from its directory (the element stays in the VOB).
    void rmname(const std::string& path);
    // Merges into a directory's selected version: new file elements under
    // the names of `added` (with those contents), and the names of
    // `removed` taken out.
    void merge(const std::string& dir, const std::map<std::string, std::string>& added,
               const std::vector<std::string>& removed = {});
    // Runs `steps` as one change: one generation, published once.
    void batch(const std::function<void()>& steps);

    // Another VOB, holding an empty root directory (the view mounts it
    // before its next update).
    void add_vob(const std::string& tag, const std::string& replica, const std::string& family);
    // The load rules: the id under which the view knows rule `rule` (a new
    // rule when there is none: its objects carry the automatic scope until
    // the id is known), and a rule the view dropped (its objects are the
    // automatic scope's from then on).
    void set_rule_scope(const std::string& rule, const std::string& scope_oid);
    void drop_load_rule(const std::string& rule);

    // Rules answered before the VOB's own: a rule of the test's (a fault of
    // a cleartext GET, say), or a copy of each of the VOB's rules for
    // procedure `rpc` with `fault` and `times` ("hold", "delay_ms", ...).
    // Their uses are counted afresh after each change.
    void add_rule_before(const std::string& rule);
    void add_fault(const std::string& rpc, const std::string& fault, unsigned times = 1);

    // The server's rules for the VOBs as they are now, in the scenario's
    // form (JSON objects separated by commas).
    std::string rules() const;

private:
    struct Version {
        unsigned object = 0;
        std::string text;                          // "/main/N" or "/main/CHECKEDOUT"
        bool checked_out = false;
        std::string content;                       // a file's bytes, a link's text
        std::map<std::string, unsigned> entries;   // a directory's names and their elements
    };
    struct Element {
        unsigned number = 0;
        Kind kind = Kind::file;
        size_t vob = 0;                            // index into m_vobs
        std::vector<Version> versions;             // every version object made, in order
        size_t selected = 0;                       // index into versions
        unsigned checked_in = 0;                   // versions checked in so far
    };
    struct Vob {
        std::string tag;
        std::string replica;
        std::string family;
        unsigned root = 0;
    };
    // An object of the view's namespace as the server would load it.
    struct Loaded {
        std::string path;
        unsigned element = 0;
        size_t vob = 0;
        unsigned parent = 0;   // the parent's element; 0 for a VOB root
        std::string oid;
        std::string text;
        std::string rule;      // the load rule it lies under, or empty
        nlohmann::json obj;
        nlohmann::json elem;
    };
    using Snapshot = std::vector<Loaded>;
    struct Fault {
        std::string rpc;
        nlohmann::json fault;
        unsigned times;
    };

    Element& make_element(Kind kind, size_t vob);
    // add_vob, without publishing.
    void add_root(const std::string& tag, const std::string& replica, const std::string& family);
    // mkelem, without publishing.
    Element& make(const std::string& path, Kind kind, const std::optional<std::string>& content,
                  Mkelem_Options options);
    Version& add_version(Element& element, const std::string& text, bool checked_out, const std::string& content,
                         const std::map<std::string, unsigned>& entries = {});
    // The VOB whose tag begins the path.
    const Vob* vob_of(const std::string& path) const;
    // The element at `path`, and the directory element holding it.
    const Element* find(const std::string& path) const;
    Element& at(const std::string& path);
    const Element& at(const std::string& path) const;
    Element& parent_of(const std::string& path, std::string& leaf);
    Element& element(unsigned number) const { return *m_elements[number - 1]; }
    static Version& selected(Element& element) { return element.versions[element.selected]; }
    static const Version& selected(const Element& element) { return element.versions[element.selected]; }
    void set_vob(Element& element, size_t vob);
    void write_cleartext(const Element& element, const Version& version) const;
    // Bumps the generation, keeps what the view would load at it and
    // publishes the rules (once, at the end of a batch).
    void changed();
    void publish() const;

    long mtime_of(const Element& element, const Version& version) const;
    nlohmann::json version_vstat(const Element& element, const Version& version) const;
    nlohmann::json element_vstat(const Element& element) const;
    nlohmann::json scope_of(const std::string& rule) const;
    nlohmann::json metadata(const Element& element, const std::string& rule) const;
    std::string rule_of(const std::string& path) const;
    Snapshot snapshot() const;
    void add_loaded(Snapshot& out, const std::string& path, const Element& element, unsigned parent) const;
    // An update's stream from view generation `view_gn` to `now`.
    nlohmann::json stream_since(unsigned view_gn, const Snapshot& now) const;
    void stream_scope(nlohmann::json& stream, const Snapshot& before, const Snapshot& now,
                      const std::string& rule) const;
    void stream_vob(nlohmann::json& stream, const Snapshot& before, const Snapshot& now, const std::string& rule,
                    size_t vob) const;
    nlohmann::json load_entry(const Loaded& loaded, const std::string& previous) const;
    nlohmann::json surgical_stream(const std::string& path, const Snapshot& now) const;
    std::vector<nlohmann::json> vob_rules() const;

    std::string m_cleartext_dir;
    std::vector<Vob> m_vobs;
    std::vector<std::unique_ptr<Element>> m_elements;   // element n at n - 1
    std::map<std::string, std::string> m_rule_scopes;   // load rule -> the view's scope id ("" unknown)
    std::vector<std::string> m_rules_before;
    std::vector<Fault> m_faults;
    std::map<unsigned, Snapshot> m_snapshots;           // by generation
    unsigned m_gn = 2;
    int m_batch_depth = 0;
    bool m_batch_changed = false;
    std::function<void(const std::string&)> m_publish;
};

} // namespace e2e
