// Operations over the whole view on the real view database: whether it has
// checkouts and hijacks, their paths and the view-private files' for a tree
// of a few hundred objects in two VOBs (one mounted later), an entry whose
// directory is lost, and the sweep of hijacked files with each treatment.

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "lib/core/ostrelagent_log_update.h"
#include "lib/ns/ns_test_support.h"

namespace {

using namespace ns_test;
using Paths = std::vector<std::string>;

constexpr int DIRS = 10;
constexpr int FILES = 20;

// Script numbers of the wide part of the tree: /t<i> and /t<i>/f<j>.
unsigned dir_elem(int i) { return 1000 + 100 * static_cast<unsigned>(i); }
unsigned file_elem(int i, int j) { return dir_elem(i) + 2 + 2 * static_cast<unsigned>(j); }
std::string dir_name(int i) { return "t" + std::to_string(i); }
std::string file_name(int j) { return "f" + std::to_string(j); }

Paths sorted(Paths paths) {
    std::sort(paths.begin(), paths.end());
    return paths;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The lines of a text, sorted.
Paths sorted_lines(const std::string& text) {
    Paths lines;
    std::stringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return sorted(lines);
}

class NsViewWide : public NsViewTest {
protected:
    void SetUp() override {
        NsViewTest::SetUp();
        // A second VOB, registered in the view but not mounted: / -> x.c.
        other_uuid = uuid_of(2);
        unsigned other_dbid = 0;
        ASSERT_EQ(0, db_test::write_tx([&] { return ostrela_db_vob_create(&other_uuid, "host:/vobs/b", &other_dbid); }));
        dir(other_uuid, 100, 101, {{"x.c", 110}});
        file(other_uuid, 110, 111);
        server.root(other_uuid, 100);
    }

    // The root of the test's VOB also lists /t0 ... /t9, each with twenty
    // files; returns their handles, their names loaded.
    std::vector<view_fhandle> wide_tree() {
        Entries top = {{"a.c", 20}, {"ln", 50}, {"d", 30}};
        for (int i = 0; i < DIRS; ++i) {
            Entries files;
            for (int j = 0; j < FILES; ++j) {
                files.push_back({file_name(j), file_elem(i, j)});
                file(file_elem(i, j), file_elem(i, j) + 1);
            }
            dir(dir_elem(i), dir_elem(i) + 1, files);
            top.push_back({dir_name(i), dir_elem(i)});
        }
        dir(10, 11, top);
        std::vector<view_fhandle> dirs;
        for (int i = 0; i < DIRS; ++i) {
            dirs.push_back(walk(dir_name(i)));
            EXPECT_EQ(static_cast<size_t>(FILES + 2), listing(dirs.back()).size());
        }
        return dirs;
    }

    // Hijacks the loaded file `name`; with `copy` its view-private copy is
    // made too, as a client's hijack does (without, the name stays hidden).
    void hijack(view_fhandle dir_fh, const std::string& name, bool copy) {
        Found loaded = lookup(dir_fh, name.c_str());
        ASSERT_EQ(0, loaded.status) << name;
        ASSERT_EQ(0, ns_hijack_by_fh(&dir_fh, name.c_str(), &loaded.vstat)) << name;
        if (copy) {
            ASSERT_EQ(0, create(dir_fh, name.c_str())) << name;
        }
    }
    void check_out(const qel_uuid_s& uuid, unsigned elem, unsigned version) {
        unsigned vob = 0;
        ASSERT_EQ(0, ostrel_db_vob_lookup(&uuid, &vob));
        qel_oid_s co = oid_of(version);
        ASSERT_EQ(0, ostrel_db_elem_set_checkedout(vob, static_cast<unsigned>(db_dbid(uuid, elem)), &co, 1));
    }

    struct Listed {
        int status = -1;
        Paths paths;
        std::string errors;
    };
    Listed privates(const qel_uuid_s* uuid) {
        Listed l;
        l.status = ns_view_get_privates(uuid, l.paths, l.errors);
        l.paths = sorted(l.paths);
        return l;
    }
    Listed checkouts() {
        Listed l;
        l.status = ns_view_get_checkouts(l.paths, l.errors);
        l.paths = sorted(l.paths);
        return l;
    }
    Listed hijacks() {
        Listed l;
        l.status = ns_view_get_hijacks(l.paths, l.errors);
        l.paths = sorted(l.paths);
        return l;
    }
    static bool has_checkouts() {
        bool any = false;
        EXPECT_EQ(0, ns_view_has_checkouts(&any));
        return any;
    }
    static bool has_hijacks() {
        bool any = false;
        EXPECT_EQ(0, ns_view_has_hijacks(&any));
        return any;
    }

    qel_uuid_s other_uuid{};
    db_test::Messages messages;
};

TEST_F(NsViewWide, TheQueriesListExactlyThePrivateCheckedOutAndHijackedFilesAsPaths) {
    std::vector<view_fhandle> dirs = wide_tree();
    EXPECT_FALSE(has_checkouts());
    EXPECT_FALSE(has_hijacks());
    for (const Listed& l : {privates(nullptr), checkouts(), hijacks()}) {
        EXPECT_EQ(0, l.status);
        EXPECT_TRUE(l.paths.empty());
    }

    Paths hijacked, checked_out{"/vobs/a"}, private_files;
    check_out(vob_uuid, 10, 11);
    for (int i = 0; i < DIRS; ++i) {
        const std::string dir_path = "/vobs/a/" + dir_name(i);
        for (int j = 0; j < FILES; ++j) {
            const int n = i * FILES + j;
            if (n % 9 == 0) {
                hijack(dirs[i], file_name(j), n % 2 == 0);
                hijacked.push_back(dir_path + "/" + file_name(j));
            } else if (n % 13 == 1) {
                check_out(vob_uuid, file_elem(i, j), file_elem(i, j) + 1);
                checked_out.push_back(dir_path + "/" + file_name(j));
            }
        }
        ASSERT_EQ(0, create(dirs[i], "p"));
        private_files.push_back(dir_path + "/p");
    }
    check_out(vob_uuid, dir_elem(3), dir_elem(3) + 1);
    checked_out.push_back("/vobs/a/t3");
    view_fhandle sub{};
    ASSERT_EQ(0, mkdir(dirs[0], "sub", &sub));
    ASSERT_EQ(0, create(sub, "q"));
    private_files.push_back("/vobs/a/t0/sub");
    private_files.push_back("/vobs/a/t0/sub/q");
    // The other VOB's are left out while it is not mounted.
    view_fhandle b = root(other_uuid);
    ASSERT_EQ(0, create(b, "bp"));
    hijack(b, "x.c", true);

    EXPECT_TRUE(has_checkouts());
    EXPECT_TRUE(has_hijacks());
    struct Case {
        const char* what;
        Listed listed;
        Paths expected;
    };
    Case cases[] = {
        {"private files", privates(nullptr), sorted(private_files)},
        {"private files of the VOB", privates(&vob_uuid), sorted(private_files)},
        {"checkouts", checkouts(), sorted(checked_out)},
        {"hijacks", hijacks(), sorted(hijacked)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(0, c.listed.status) << c.what;
        EXPECT_EQ(c.expected, c.listed.paths) << c.what;
        EXPECT_EQ("", c.listed.errors) << c.what;
    }

    mount("/vobs/b", other_uuid);
    Paths with_other = private_files;
    with_other.push_back("/vobs/b/bp");
    EXPECT_EQ(sorted(with_other), privates(nullptr).paths);
    EXPECT_EQ(sorted(private_files), privates(&vob_uuid).paths);
    EXPECT_EQ(Paths{"/vobs/b/bp"}, privates(&other_uuid).paths);
    hijacked.push_back("/vobs/b/x.c");
    EXPECT_EQ(sorted(hijacked), hijacks().paths);
}

TEST_F(NsViewWide, AnEntryWhoseDirectoryIsLostFailsAloneWithItsMessage) {
    view_fhandle top = root();
    view_fhandle d = walk("d");
    hijack(top, "a.c", true);
    hijack(d, "g.c", false);
    lost_hijack();
    const std::string lost_message = "Unable to lookup/find element with OID " +
                                     OstrelAgent_Util::id_text(oid_of(5555)) + " in VOB " +
                                     OstrelAgent_Util::id_text(vob_uuid) + "\n";

    Listed listed = hijacks();
    EXPECT_EQ(QEL_ST_INTERNAL, listed.status);
    EXPECT_EQ((Paths{"/vobs/a/a.c", "/vobs/a/d/g.c"}), listed.paths);
    EXPECT_EQ("Stale or invalid element OID found in local database object entry: " + lost_message, listed.errors);

    // The sweep logs it and treats the others.
    OstrelAgent_Log_Update log(storage);
    EXPECT_EQ(QEL_ST_INTERNAL, ns_view_sweep_hijacks(OstrelAgent_Util::HIJACK_OVERWRITE, &log));
    EXPECT_EQ(sorted_lines("HijackedDeleted:         /vobs/a/a.c\n"
                           "HijackedDeleted:         /vobs/a/d/g.c\n"
                           "Stale or invalid element OID found in local database object entry: " +
                           lost_message),
              sorted_lines(read_file(log.log_path())));
    std::vector<ostrelagent_hijack_co_info> left;
    ASSERT_EQ(0, ostrel_db_find_hijacks(left));
    ASSERT_EQ(1u, left.size());
    EXPECT_EQ("lost", left[0].name);
}

TEST_F(NsViewWide, TheSweepRemovesOrSetsAsideEveryHijackedFileAsItsTreatmentSays) {
    view_fhandle top = root();
    view_fhandle d = walk("d");
    view_fhandle b = root(other_uuid);
    const std::string unmounted = "<unmounted VOB " + OstrelAgent_Util::id_text(other_uuid) + ">";
    {
        // Nothing hijacked: nothing to log.
        OstrelAgent_Log_Update log(storage);
        EXPECT_EQ(0, ns_view_sweep_hijacks(OstrelAgent_Util::HIJACK_RENAME, &log));
        EXPECT_EQ("", read_file(log.log_path()));
    }
    const std::string refused = "internal error, invalid parameter to ns_view_sweep_hijacks\n";
    struct Case {
        int treatment;
        int status;
        std::string lines;
    };
    const Case cases[] = {
        {OstrelAgent_Util::HIJACK_KEEP, QEL_ST_INVALID, refused},
        {7, QEL_ST_INVALID, refused},
        {OstrelAgent_Util::HIJACK_OVERWRITE, 0,
         "HijackedDeleted:         /vobs/a/a.c\n"
         "HijackedDeleted:         /vobs/a/d/g.c\n"
         "HijackedDeleted:         " + unmounted + "/x.c\n"},
        {OstrelAgent_Util::HIJACK_RENAME, 0,
         "HijackedRenamed:         /vobs/a/a.c a.c.keep\n"
         "HijackedRenamed:         /vobs/a/d/g.c (whiteout removed)\n"
         "HijackedRenamed:         " + unmounted + "/x.c x.c.keep\n"},
    };
    for (const Case& c : cases) {
        if (!has_hijacks()) {
            hijack(top, "a.c", true);
            hijack(d, "g.c", false);
            hijack(b, "x.c", true);
        }
        OstrelAgent_Log_Update log(storage);
        EXPECT_EQ(c.status, ns_view_sweep_hijacks(static_cast<OstrelAgent_Util::HijackTreatment>(c.treatment), &log))
            << c.treatment;
        EXPECT_EQ(sorted_lines(c.lines), sorted_lines(read_file(log.log_path()))) << c.treatment;
        EXPECT_EQ(c.status != 0, has_hijacks()) << c.treatment;
    }
    // Every loaded version shows again; the copies were set aside.
    EXPECT_EQ(db_dbid(21), lookup(top, "a.c").fh.dbid);
    EXPECT_EQ(db_dbid(41), lookup(d, "g.c").fh.dbid);
    EXPECT_EQ(db_dbid(other_uuid, 111), lookup(b, "x.c").fh.dbid);
    EXPECT_EQ(0, lookup(top, "a.c.keep").status);
    EXPECT_EQ(0, lookup(b, "x.c.keep").status);
    EXPECT_EQ(QEL_ST_NO_ENTRY, lookup(d, "g.c.keep").status);
}

} // namespace
