// The view's control calls against the simulated kernel: what reaches its
// registry, journal and channel, and how its answers come back.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "lib/core/ostrelagent_status.h"
#include "lib/ns/ostrelagent_korva_inval_batch.h"
#include "lib/ns/ostrelagent_korva_ioctl.h"
#include "lib/thread_test_support.h"
#include "lib/view_test_support.h"
#include "platform/korva/korva_channel.h"
#include "platform/korva/korva_channel_client.h"
#include "platform/korva/korva_fake_daemon.h"
#include "platform/korva/korva_fields.h"
#include "platform/korva/korva_message.h"
#include "platform/utl/sysutl.h"
#include "xdr/ostrelxdr_codec.h"

using Lines = std::vector<std::vector<std::string>>;

namespace {

qel_oid_s oid_of(unsigned char fill) {
    qel_oid_s id;
    std::memset(id.bytes, fill, sizeof id.bytes);
    return id;
}

qel_uuid_s uuid_of(unsigned char fill) {
    qel_uuid_s id;
    std::memset(id.bytes, fill, sizeof id.bytes);
    return id;
}

using korva::idText;

// The uuid text an oid travels as.
std::string uuid_idText(const qel_oid_s& oid) {
    qel_uuid_s uuid;
    qel_oid_to_uuid(&oid, &uuid);
    return idText(uuid);
}

class KorvaIoctlTest : public view_test::ViewTest {
protected:
    void SetUp() override {
        ViewTest::SetUp();
        view_ = new_view();
        ioctl_.reset(new OstrelAgent_KORVA_Ioctl(view_.get()));
    }
    void TearDown() override {
        ioctl_.reset();
        view_.reset();
        ViewTest::TearDown();
    }

    std::string socket_path() const { return korva_root + "/views/" + view_test::TAG + "/lpc"; }
    korva::Injector inject() const { return korva().injector(); }

    std::unique_ptr<OstrelAgent_View> view_;
    std::unique_ptr<OstrelAgent_KORVA_Ioctl> ioctl_;
};

} // namespace

TEST_F(KorvaIoctlTest, RegistrationMountsAndUnmountsReachTheKernelAsTheViewDescribesThem) {
    // Without a view-root handle no command is issued.
    ASSERT_EQ(0, inject().add("open", "1062"));
    EXPECT_EQ(1062, ioctl_->register_view());
    EXPECT_TRUE(journal().empty());

    ASSERT_EQ(0, ioctl_->register_view());
    struct stat st;
    ASSERT_EQ(0, lstat(socket_path().c_str(), &st)) << "the view's channel is open";
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(0600u, st.st_mode & 0777);

    const qel_oid_s replica = oid_of(0x21), family = oid_of(0x31);
    EXPECT_EQ(0, ioctl_->mount_vob("/vobs/a", "/vobstore/a.vbs", replica, family));
    std::vector<korva::VobEntry> mounts = korva().registry().mounts(view_test::TAG);
    ASSERT_EQ(1u, mounts.size());
    EXPECT_EQ("/vobs/a", mounts[0].vob_tag);
    EXPECT_EQ("/vobstore/a.vbs", mounts[0].vob_storage);
    EXPECT_EQ(view_->get_cltxt_cache_dir(), mounts[0].view_storage);
    EXPECT_EQ(sysutl_myhostname(), mounts[0].host);
    EXPECT_EQ(uuid_idText(replica), mounts[0].replica_uuid);
    EXPECT_EQ(idText(family), mounts[0].family_oid);

    // An interrupted mount is issued again; one already there is 20046.
    ASSERT_EQ(0, inject().add("mount_vob", "errno=4"));
    EXPECT_EQ(0, ioctl_->mount_vob("/vobs/b", "/vobstore/b.vbs", oid_of(0x22), oid_of(0x32)));
    EXPECT_EQ(OstrelAgent_Status::VOB_ALREADY_MOUNTED,
              ioctl_->mount_vob("/vobs/a", "/vobstore/a.vbs", replica, family));

    struct Unmount {
        const char* what;
        const char* forced;  // inject result, or null
        const char* tag;
        int status;
        int raw;
        size_t mounted_after;
    };
    const Unmount unmounts[] = {
        {"busy", "1088", "/vobs/a", OstrelAgent_Status::GENERAL_FAILURE, 1088, 2},
        {"done", nullptr, "/vobs/a", 0, 0, 1},
        {"not mounted", nullptr, "/vobs/a", OstrelAgent_Status::VOB_NOT_MOUNTED, 1072, 1},
        {"a failed call", "errno=5", "/vobs/b", OstrelAgent_Status::GENERAL_FAILURE, qel_errno2status(5), 1},
    };
    for (const Unmount& u : unmounts) {
        if (u.forced != nullptr) {
            ASSERT_EQ(0, inject().add("umount_vob", u.forced));
        }
        int raw = -1;
        EXPECT_EQ(u.status, ioctl_->umount_vob(u.tag, family, raw)) << u.what;
        EXPECT_EQ(u.raw, raw) << u.what;
        EXPECT_EQ(u.mounted_after, korva().registry().mounts(view_test::TAG).size()) << u.what;
    }

    // The kernel unmounts by tag; the id passed travels as a uuid.
    Lines lines = journal();
    ASSERT_GE(lines.size(), 6u);
    EXPECT_EQ((std::vector<std::string>{"umount_vob", "/vobs/a", uuid_idText(family)}), lines[5]);

    EXPECT_EQ(0, ioctl_->unregister_view());
    EXPECT_NE(0, lstat(socket_path().c_str(), &st)) << "the channel closes with the registration";
    EXPECT_FALSE(korva().registry().view(view_test::TAG).has_value());
}

TEST_F(KorvaIoctlTest, InvalidationsAreJournaledAndToldToTheKernelSideWithTheKindOfTheirOperation) {
    ASSERT_EQ(0, ioctl_->register_view());
    korva::ChannelClient client;
    ASSERT_EQ(0, client.connect(korva::Root(korva_root), view_test::TAG));
    // Notices go to the connections the channel has taken in.
    ASSERT_TRUE(thread_test::eventually([&] {
        auto channel = korva::ChannelTable::process().find(
            korva::ChannelTable::key(korva::Root(korva_root), view_test::TAG));
        return channel && channel->connectionCount() == 1;
    }));

    const qel_uuid_s vob = uuid_of(0x21);
    struct Case {
        vob_op_t op;
        uint32_t kind;
    };
    const Case cases[] = {{14, 5}, {17, 5}, {27, 5}, {32, 5}, {66, 5}, {126, 6}, {131, 6},
                          {124, 7}, {130, 7}, {1, 2},  {10, 2}, {13, 2}};
    for (const Case& c : cases) EXPECT_EQ(0, ioctl_->view_inval_obj(vob, oid_of(0x40), c.op));
    EXPECT_EQ(0, ioctl_->view_inval_name(vob, oid_of(0x41), "new name.c"));
    EXPECT_EQ(0, ioctl_->view_inval_view());

    for (const Case& c : cases) {
        std::vector<unsigned char> packet;
        ASSERT_EQ(0, client.receive(&packet, 20000));
        korva::Notice notice;
        ASSERT_TRUE(korva::decodeNoticeBody(packet.data() + korva::kHeaderSize,
                                            packet.size() - korva::kHeaderSize, &notice));
        EXPECT_EQ(c.kind, notice.kind) << "operation " << c.op;
    }
    std::vector<unsigned char> packet;
    korva::Notice name, whole;
    ASSERT_EQ(0, client.receive(&packet, 20000));
    ASSERT_TRUE(korva::decodeNoticeBody(packet.data() + 32, packet.size() - 32, &name));
    ASSERT_EQ(0, client.receive(&packet, 20000));
    ASSERT_TRUE(korva::decodeNoticeBody(packet.data() + 32, packet.size() - 32, &whole));
    EXPECT_EQ(1u, name.kind);
    EXPECT_EQ("new name.c", name.name);
    EXPECT_EQ(idText(oid_of(0x41)), idText(name.oid));
    EXPECT_EQ(3u, whole.kind);

    Lines lines = journal();
    ASSERT_EQ(1u + 12 + 2, lines.size());
    EXPECT_EQ((std::vector<std::string>{"inval_obj", idText(vob), idText(oid_of(0x40)), "66"}), lines[5]);
    EXPECT_EQ((std::vector<std::string>{"inval_name", idText(vob), idText(oid_of(0x41)), "new name.c"}),
              lines[13]);
    EXPECT_EQ((std::vector<std::string>{"inval_view", view_test::TAG}), lines[14]);

    // Without a view root there is nothing to tell the kernel.
    ASSERT_EQ(0, inject().add("view_root_type", "1072"));
    EXPECT_EQ(QEL_ST_NO_VIEW_ROOT, ioctl_->view_inval_view());
    EXPECT_EQ(15u, journal().size());

    // An update's pair goes through one handle, the object's first; each
    // keeps its own status.
    ASSERT_EQ(0, inject().add("inval_name", "1072"));
    int obj_status = -1, name_status = -1;
    ioctl_->view_inval_obj_and_name(vob, oid_of(0x42), 66, oid_of(0x41), "pair.c", obj_status, name_status);
    EXPECT_EQ(0, obj_status);
    EXPECT_EQ(1072, name_status);
    lines = journal();
    ASSERT_EQ(17u, lines.size());
    EXPECT_EQ((std::vector<std::string>{"inval_obj", idText(vob), idText(oid_of(0x42)), "66"}), lines[15]);
    EXPECT_EQ((std::vector<std::string>{"inval_name", idText(vob), idText(oid_of(0x41)), "pair.c"}), lines[16]);
    ASSERT_EQ(0, inject().add("view_root_type", "1072"));
    ioctl_->view_inval_obj_and_name(vob, oid_of(0x42), 66, oid_of(0x41), "pair.c", obj_status, name_status);
    EXPECT_EQ(QEL_ST_NO_VIEW_ROOT, obj_status);
    EXPECT_EQ(QEL_ST_NO_VIEW_ROOT, name_status);
    EXPECT_EQ(17u, journal().size());
    // An unregistered view's root is unknown to the kernel.
    ASSERT_EQ(0, ioctl_->unregister_view());
    EXPECT_EQ(QEL_ST_NOT_FOUND, ioctl_->view_inval_name(vob, oid_of(0x41), "x"));
}

// Invalidations gathered for a run of changes go as one batch, in the order
// they came; a failure comes back with the owner it was added under, an
// interrupted call is made again, and the batch is empty afterwards.
TEST_F(KorvaIoctlTest, AGatheredBatchOfInvalidationsIsToldInOrderAndFailuresComeBackWithTheirOwners) {
    ASSERT_EQ(0, ioctl_->register_view());
    const qel_uuid_s vob = uuid_of(0x21);
    OstrelAgent_KORVA_Inval_Batch batch;
    EXPECT_TRUE(batch.send(*ioctl_).empty());
    const size_t before = journal().size();
    EXPECT_EQ(before, journal().size()) << "an empty batch calls nothing";

    // Names longer than a short string's own room, so that a copy that
    // moved would show.
    const std::string long_name(40, 'n');
    struct Entry {
        bool object;
        unsigned char oid;
        std::string name;
        size_t owner;
    };
    const std::vector<Entry> entries = {{true, 0x40, "", 0},        {false, 0x41, "a.c", 0},
                                        {true, 0x42, "", 1},        {false, 0x41, long_name, 1},
                                        {true, 0x43, "", 2},        {false, 0x41, "c d.c", 2}};
    for (const Entry& e : entries) {
        if (e.object)
            batch.add_obj(vob, oid_of(e.oid), 66, e.owner);
        else
            batch.add_name(vob, oid_of(e.oid), e.name, e.owner);
    }
    EXPECT_EQ(entries.size(), batch.size());
    // The first object's call fails, the second's is interrupted once.
    ASSERT_EQ(0, inject().add("inval_obj", "1", 1));
    ASSERT_EQ(0, inject().add("inval_obj", "errno=4"));
    std::vector<OstrelAgent_KORVA_Inval_Batch::Failure> failures = batch.send(*ioctl_);
    ASSERT_EQ(1u, failures.size());
    EXPECT_EQ(0u, failures[0].owner);
    EXPECT_EQ(1, failures[0].status);
    EXPECT_TRUE(batch.empty());

    ASSERT_EQ(0, inject().add("inval_name", "1072", 1));
    batch.add_name(vob, oid_of(0x41), "late.c", 7);
    failures = batch.send(*ioctl_);
    ASSERT_EQ(1u, failures.size());
    EXPECT_EQ(7u, failures[0].owner);
    EXPECT_EQ(1072, failures[0].status);

    Lines lines = journal();
    Lines told(lines.begin() + static_cast<long>(before), lines.end());
    Lines expected;
    for (const Entry& e : entries) {
        if (e.object)
            expected.push_back({"inval_obj", idText(vob), idText(oid_of(e.oid)), "66"});
        else
            expected.push_back({"inval_name", idText(vob), idText(oid_of(e.oid)), e.name});
        // The interrupted call is journaled, then made again.
        if (e.object && e.oid == 0x42) expected.push_back(expected.back());
    }
    expected.push_back({"inval_name", idText(vob), idText(oid_of(0x41)), "late.c"});
    EXPECT_EQ(expected, told);
    // Cleared unsent, nothing goes.
    batch.add_obj(vob, oid_of(0x44), 66, 0);
    batch.clear();
    EXPECT_TRUE(batch.send(*ioctl_).empty());
    EXPECT_EQ(lines.size(), journal().size());
}

// A block the kernel leaves unissued in a batch (ECANCELED) is issued again,
// never reported as failed: after a failed block, as the first of the next
// batch; as the first of its batch, alone.
TEST_F(KorvaIoctlTest, ABlockOfABatchThatWasNotIssuedIsTriedAgain) {
    ASSERT_EQ(0, ioctl_->register_view());
    const qel_uuid_s vob = uuid_of(0x21);
    const struct {
        const char* what;
        bool name_first;  // a name's invalidation before the object's
    } cases[] = {{"first in its batch", false}, {"after another", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        OstrelAgent_KORVA_Inval_Batch batch;
        if (c.name_first) batch.add_name(vob, oid_of(0x41), "a.c", 0);
        batch.add_obj(vob, oid_of(0x40), 66, 1);
        batch.add_name(vob, oid_of(0x41), "b.c", 2);
        // The object's call is cancelled once, before the kernel acts on it.
        ASSERT_EQ(0, inject().add("inval_obj", "errno=" + std::to_string(ECANCELED), 1));
        const size_t before = journal().size();
        EXPECT_TRUE(batch.send(*ioctl_).empty());
        Lines expected;
        if (c.name_first) expected.push_back({"inval_name", idText(vob), idText(oid_of(0x41)), "a.c"});
        // Journaled as it was cancelled, then once more as it was made.
        expected.push_back({"inval_obj", idText(vob), idText(oid_of(0x40)), "66"});
        expected.push_back(expected.back());
        expected.push_back({"inval_name", idText(vob), idText(oid_of(0x41)), "b.c"});
        const Lines lines = journal();
        EXPECT_EQ(expected, Lines(lines.begin() + static_cast<long>(before), lines.end()));
    }
}

TEST_F(KorvaIoctlTest, StatusQueriesAreAnsweredByTheViewsServerThroughTheKernel) {
    // The daemon's side: Root gives the VOB root (dbid 1), Lookup knows "file.c" (dbid 3).
    auto serve = [](const korva_test::Served& s) {
        korva_test::Answer a;
        std::vector<unsigned char> body(korva::kBodyMax);
        size_t length = 0;
        if (s.header.op == 105) {
            view_getattr_reply_t reply{};
            reply.fh.vob_uuid = uuid_of(0x21);
            reply.fh.dbid = 1;
            reply.attr.fstat.type = QEL_FTYPE_DIR;
            EXPECT_TRUE(ostrelxdr_encode_body(xdr_view_getattr_reply_t, &reply, body.data(), body.size(), &length));
        } else {
            view_lookup_req_t req{};
            EXPECT_TRUE(ostrelxdr_decode_body(xdr_view_lookup_req_t, s.body.data(), s.body.size(), &req));
            view_lookup_reply_t reply{};
            reply.name_state = 0x20;
            if (std::string(req.name) == "file.c") {
                reply.fh.vob_uuid = uuid_of(0x21);
                reply.fh.dbid = 3;
                reply.attr.fstat.type = QEL_FTYPE_REG;
                reply.attr.fstat.size = 1234;
                reply.attr.obj_oid = oid_of(0x43);
            } else {
                reply.hdr.status = QEL_ST_NO_ENTRY;
            }
            ostrelxdr_free(xdr_view_lookup_req_t, &req);
            EXPECT_TRUE(ostrelxdr_encode_body(xdr_view_lookup_reply_t, &reply, body.data(), body.size(), &length));
        }
        body.resize(length);
        a.body = body;
        return a;
    };
    korva_test::FakeDaemon daemon(view_test::TAG, 0x0a, 2, serve);
    ASSERT_EQ(0, ioctl_->mount_vob("/vobs/src", "/vobstore/src.vbs", oid_of(0x21), oid_of(0x31)));
    const std::string path = korva_root + "/view/" + view_test::TAG + "/vobs/src/file.c";

    view_vstat vstat{};
    qel_oid_s obj = QEL_OID_NULL;
    qel_uuid_s vob = QEL_UUID_NULL, replica = QEL_UUID_NULL;
    int word = -1;
    EXPECT_EQ(0, ioctl_->view_get_xstat(path.c_str(), &vstat, &obj, &vob, &word, &replica));
    EXPECT_EQ(1234u, vstat.fstat.size);
    EXPECT_EQ(idText(oid_of(0x43)), idText(obj));
    EXPECT_EQ(idText(uuid_of(0x21)), idText(vob));
    EXPECT_EQ(idText(uuid_of(0x21)), idText(replica));
    EXPECT_EQ(0x20, word);

    // Outputs not asked for are left alone; a failed lookup's status comes back.
    replica = QEL_UUID_NULL;
    EXPECT_EQ(0, ioctl_->view_lget_xstat(path.c_str(), &vstat, nullptr, nullptr, nullptr, &replica));
    EXPECT_EQ(idText(uuid_of(0x21)), idText(replica));
    word = -1;
    EXPECT_EQ(QEL_ST_NO_ENTRY, ioctl_->view_get_xstat((path + "x").c_str(), &vstat, nullptr, nullptr, &word,
                                                      &replica));
    EXPECT_EQ(-1, word);

    Lines lines = journal();
    ASSERT_EQ(5u, lines.size());
    EXPECT_EQ((std::vector<std::string>{"get_xstat", path}), lines[2]);
    EXPECT_EQ((std::vector<std::string>{"lget_xstat", path}), lines[3]);
}
