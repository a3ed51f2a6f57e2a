// Directory-read replies: the packed records and their wire form, the page
// limit of 8744 bytes after the header and the stream's room, malformed
// records, and a decoding room that runs out.

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "xdr/ostrelxdr_codec.h"
#include "xdr/ostrelxdr_view.h"
#include "xdr/xdr_samples.h"
#include "xdr/xdr_test_support.h"

namespace {

using namespace xdr_test;

struct Entry {
    std::string name;
    uint32_t ino;
    uint32_t off;
};

// Packed view_dirent records, with room to spare.
std::vector<char> pack(const std::vector<Entry>& entries) {
    std::vector<char> buf;
    for (const Entry& e : entries) {
        view_dirent head{e.ino, e.off, 0, static_cast<uint16_t>(e.name.size())};
        size_t at = buf.size();
        buf.resize(at + view_dirent_reclen(head.namlen));
        view_dirent_write(&buf[at], &head, e.name.data());
    }
    return buf;
}

// One plain entry on the wire: length, name, inode, next offset, a 0.
Bytes entry_wire(const Entry& e) {
    return words({static_cast<uint32_t>(e.name.size())}) + padded(e.name) + words({e.ino, e.off, 0});
}

view_readdir_reply_t reply_over(std::vector<char>& buf, bool_t eof) {
    view_readdir_reply_t reply = zeroed<view_readdir_reply_t>();
    reply.hdr = {0x77, 0};
    reply.nbytes = static_cast<u_int>(buf.size());
    reply.room = static_cast<u_int>(buf.size());
    reply.entries = buf.data();
    reply.eof = eof;
    return reply;
}

// Decodes `wire` into a reply with `room` bytes for entries.
view_readdir_reply_t decode_reply(Proc<view_readdir_reply_t> proc, const Bytes& wire, u_int room,
                                  bool* ok) {
    view_readdir_reply_t back = zeroed<view_readdir_reply_t>();
    back.room = room;
    *ok = decode(proc, wire, &back);
    return back;
}

TEST(XdrReaddir, PlainEntriesBothWays) {
    const std::vector<Entry> entries = {{"a", 10, 1}, {"bcde", 11, 2}};
    std::vector<char> buf = pack(entries);
    ASSERT_EQ(buf.size(), 16u + 20u) << "record lengths (12 + name + NUL) rounded up to 4";
    view_readdir_reply_t reply = reply_over(buf, TRUE);
    const Bytes wire = words({0x77, 0}) + words({1, 0x61000000, 10, 1, 0}) +
                       words({4, 0x62636465, 11, 2, 0}) + words({0, 1});
    EXPECT_EQ(hex(encoded(xdr_view_readdir_reply_t, reply)), hex(wire));

    bool ok = false;
    view_readdir_reply_t back = decode_reply(xdr_view_readdir_reply_t, wire, 100, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(back.nbytes, buf.size());
    EXPECT_EQ(std::memcmp(back.entries, buf.data(), buf.size()), 0) << "records rebuilt with NULs";
    EXPECT_EQ(back.next_offset, 2u) << "the last entry's offset";
    EXPECT_EQ(back.eof, TRUE);
    ostrelxdr_free(xdr_view_readdir_reply_t, &back);
    EXPECT_EQ(back.entries, nullptr);

    for (size_t n = 0; n < wire.size(); ++n) {
        back = decode_reply(xdr_view_readdir_reply_t, Bytes(wire.begin(), wire.begin() + n), 100, &ok);
        EXPECT_FALSE(ok) << n;
        ostrelxdr_free(xdr_view_readdir_reply_t, &back);
    }
}

TEST(XdrReaddir, ExtendedEntryBothWays) {
    view_dirent_ext head = zeroed<view_dirent_ext>();
    head.ino = 9;
    head.off = 3;
    head.name_state = 0x11;
    head.rule = 2;
    head.obj_oid = counting<qel_oid_t>(0x50);
    head.obj_mtype = 5;
    head.ver_oid = counting<qel_oid_t>(0x60);
    head.ver_mtype = 6;
    head.namlen = 1;
    std::vector<char> buf(view_dirent_ext_reclen(1));
    ASSERT_EQ(buf.size(), 60u);
    EXPECT_EQ(view_dirent_ext_write(buf.data(), &head, "x"), 60u);
    view_readdir_ext_reply_t reply = reply_over(buf, FALSE);
    const Bytes wire = words({0x77, 0}) + words({1, 0x78000000, 9, 3, 0}) + words({0x11, 2}) +
                       counting_wire(0x50) + words({5}) + counting_wire(0x60) + words({6}) +
                       words({0, 0});
    EXPECT_EQ(hex(encoded(xdr_view_readdir_ext_reply_t, reply)), hex(wire));

    bool ok = false;
    view_readdir_ext_reply_t back = decode_reply(xdr_view_readdir_ext_reply_t, wire, 60, &ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ(back.nbytes, 60u);
    view_dirent_ext read = zeroed<view_dirent_ext>();
    EXPECT_STREQ(view_dirent_ext_read(back.entries, &read), "x");
    EXPECT_EQ(std::memcmp(&read, &head, sizeof head), 0);
    EXPECT_EQ(back.eof, FALSE);
    ostrelxdr_free(xdr_view_readdir_ext_reply_t, &back);
}

TEST(XdrReaddir, EmptyListingAndFailedRead) {
    view_readdir_reply_t reply = zeroed<view_readdir_reply_t>();
    reply.hdr = {0x77, 0};
    reply.eof = TRUE;
    EXPECT_EQ(hex(encoded(xdr_view_readdir_reply_t, reply)), hex(words({0x77, 0, 0, 1})));

    std::vector<char> buf = pack({{"a", 1, 1}});
    reply = reply_over(buf, TRUE);
    reply.hdr.status = 1087;
    EXPECT_EQ(hex(encoded(xdr_view_readdir_reply_t, reply)), hex(words({0x77, 1087})))
        << "a failed read sends the header alone";
    bool ok = false;
    view_readdir_reply_t back = decode_reply(xdr_view_readdir_reply_t, words({0x77, 1087}), 64, &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(back.entries, nullptr) << "nothing allocated for a failed read";
}

// 32 names of 251 bytes take 268 wire bytes each (8576); a last entry that
// brings the entries to exactly 8736 leaves room for the 8-byte tail within
// 8744 bytes; one 4 bytes longer does not, and the page is cut before it.
TEST(XdrReaddir, PageIsCutAt8744BytesAfterTheHeader) {
    for (size_t last_name : {144u, 145u}) {
        SCOPED_TRACE(last_name);
        std::vector<Entry> entries;
        for (uint32_t i = 0; i < 32; ++i) entries.push_back({std::string(251, 'a' + i % 26), i, i + 1});
        entries.push_back({std::string(last_name, 'z'), 32, 33});
        entries.push_back({"after", 33, 34});
        std::vector<char> buf = pack(entries);
        view_readdir_reply_t reply = reply_over(buf, TRUE);

        Bytes expected = words({0x77, 0});
        for (size_t i = 0; i < 32; ++i) expected = expected + entry_wire(entries[i]);
        const bool last_fits = last_name == 144;
        if (last_fits) expected = expected + entry_wire(entries[32]);
        expected = expected + words({0, 0});

        std::vector<char> body(VIEW_MSG_BODY_MAX);
        size_t length = 0;
        ASSERT_TRUE(ostrelxdr_encode_body(xdr_view_readdir_reply_t, &reply, body.data(), body.size(),
                                          &length));
        EXPECT_EQ(length, last_fits ? 8u + 8744u : 8u + 8576u + 8u);
        EXPECT_EQ(hex(Bytes(body.begin(), body.begin() + length)), hex(expected));
    }
}

// The stream's room limits a page too: the entries that fit with the tail go
// out, the flag turns false, and the read succeeds.
TEST(XdrReaddir, SmallStreamSendsTheEntriesThatFit) {
    std::vector<Entry> entries;
    for (uint32_t i = 0; i < 10; ++i) entries.push_back({"a", i, i + 1});
    std::vector<char> buf = pack(entries);
    view_readdir_reply_t reply = reply_over(buf, TRUE);
    struct Row {
        size_t room;
        size_t sent;
    };
    for (Row row : {Row{16, 0}, Row{35, 0}, Row{36, 1}, Row{100, 4}, Row{215, 9}, Row{216, 10}}) {
        SCOPED_TRACE(row.room);
        Bytes out;
        ASSERT_TRUE(encode(xdr_view_readdir_reply_t, reply, &out, row.room));
        Bytes expected = words({0x77, 0});
        for (size_t i = 0; i < row.sent; ++i) expected = expected + entry_wire(entries[i]);
        expected = expected + words({0, row.sent == entries.size() ? 1u : 0u});
        EXPECT_EQ(hex(out), hex(expected));
    }
    Bytes out;
    EXPECT_FALSE(encode(xdr_view_readdir_reply_t, reply, &out, 15)) << "no room for the tail";
}

TEST(XdrReaddir, MalformedRecordsFailTheEncoding) {
    struct Row {
        const char* what;
        uint16_t reclen;
        uint16_t namlen;
        u_int nbytes;  // 0: the record's own length
        u_int room;    // 0: the buffer's size
    };
    const Row rows[] = {
        {"record length 0", 0, 1, 16, 0},
        {"name longer than its record", 16, 4, 16, 0},
        {"name length 0", 16, 0, 16, 0},
        {"record beyond the byte count", 20, 5, 16, 0},
        {"byte count beyond the buffer", 16, 1, 16, 12},
        {"byte count shorter than a head", 16, 1, 8, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<char> buf(32, 'n');
        view_dirent head{1, 2, row.reclen, row.namlen};
        std::memcpy(buf.data(), &head, sizeof head);
        view_readdir_reply_t reply = reply_over(buf, TRUE);
        reply.nbytes = row.nbytes;
        if (row.room != 0) reply.room = row.room;
        Bytes out;
        EXPECT_FALSE(encode(xdr_view_readdir_reply_t, reply, &out));
    }
}

// A record that does not fit the decoding room ends the page there: the
// entries before it are kept and the flag turns false.
TEST(XdrReaddir, DecodingStopsWhereTheRoomRunsOut) {
    const std::vector<Entry> entries = {{"a", 10, 1}, {"bcde", 11, 2}};
    std::vector<char> buf = pack(entries);
    view_readdir_reply_t reply = reply_over(buf, TRUE);
    const Bytes wire = encoded(xdr_view_readdir_reply_t, reply);
    struct Row {
        u_int room;
        u_int nbytes;
    };
    for (Row row : {Row{0, 0}, Row{15, 0}, Row{35, 16}, Row{36, 36}}) {
        SCOPED_TRACE(row.room);
        bool ok = false;
        view_readdir_reply_t back = decode_reply(xdr_view_readdir_reply_t, wire, row.room, &ok);
        EXPECT_TRUE(ok);
        EXPECT_EQ(back.nbytes, row.nbytes);
        EXPECT_EQ(back.eof, row.nbytes == 36 ? TRUE : FALSE);
        ostrelxdr_free(xdr_view_readdir_reply_t, &back);
    }
}

} // namespace
