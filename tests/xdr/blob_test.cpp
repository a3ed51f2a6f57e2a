// The server's four reply records: each one's encoding written by hand from
// its field list, checked byte for byte both ways through the public
// encoders and decoders; every shorter input fails; the largest records fit
// their encoding sizes; names and path names beyond their fields are refused.

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/stg/stg.h"
#include "xdr/ostrelxdr_blob.h"
#include "xdr/view_samples.h"
#include "xdr/xdr_samples.h"
#include "xdr/xdr_test_support.h"

namespace {

using namespace xdr_test;

template <typename T>
using Encoder = int (*)(const T*, unsigned int*, char**);
template <typename T>
using Decoder = int (*)(unsigned int, const char*, T*);

// Encodes through the public encoder: its status, and the bytes on success.
template <typename T>
int encode_blob(Encoder<T> encoder, const T& record, Bytes* out) {
    unsigned int len = 0;
    char* buf = nullptr;
    int status = encoder(&record, &len, &buf);
    if (status == 0) {
        out->assign(buf, buf + len);
        stg_free(buf);
    }
    return status;
}

// Decodes a copy of `bytes` of exactly their size.
template <typename T>
int decode_blob(Decoder<T> decoder, const Bytes& bytes, T* record) {
    std::vector<char> copy(bytes.begin(), bytes.end());
    return decoder(static_cast<unsigned int>(copy.size()), copy.empty() ? nullptr : copy.data(),
                   record);
}

struct BlobCase {
    std::string name;
    Bytes golden;
    unsigned int encode_size;
    std::function<void()> check;  // encodes, decodes and checks prefixes
    std::function<int(const Bytes&)> decode;
};

template <typename T, typename Fill>
BlobCase blob(std::string name, Encoder<T> encoder, Decoder<T> decoder, unsigned int encode_size,
              Fill fill, Bytes golden) {
    T record = zeroed<T>();
    fill(record);
    BlobCase c{std::move(name), golden, encode_size, nullptr, nullptr};
    c.check = [=]() {
        Bytes out;
        ASSERT_EQ(encode_blob(encoder, record, &out), 0);
        EXPECT_EQ(hex(out), hex(golden));
        T back = zeroed<T>();
        ASSERT_EQ(decode_blob(decoder, golden, &back), 0);
        EXPECT_EQ(std::memcmp(&back, &record, sizeof(T)), 0) << "decoded fields differ";
        for (size_t n = 0; n < golden.size(); ++n) {
            T partial = zeroed<T>();
            EXPECT_EQ(decode_blob(decoder, Bytes(golden.begin(), golden.begin() + n), &partial), 1001)
                << n << " bytes";
        }
        EXPECT_EQ(decoder(static_cast<unsigned int>(golden.size()),
                          reinterpret_cast<const char*>(golden.data()), nullptr),
                  1072);
        unsigned int len = 0;
        char* buf = nullptr;
        EXPECT_EQ(encoder(nullptr, &len, &buf), 1072);
        EXPECT_EQ(encoder(&record, nullptr, &buf), 1072);
    };
    c.decode = [decoder](const Bytes& bytes) {
        T back = zeroed<T>();
        return decode_blob(decoder, bytes, &back);
    };
    return c;
}

std::vector<BlobCase> blob_cases() {
    std::vector<BlobCase> cases;
    cases.push_back(blob<ostrel_vstat>(
        "vstat", ostrel_vstat_encode, ostrel_vstat_decode, OSTREL_VSTAT_ENCODE_SIZE,
        [](ostrel_vstat& r) { fill_vstat(r, "../t"); },
        sample_vstat_wire() + words({1}) + words({4, 0x2e2e2f74})));
    cases.push_back(blob<ostrel_scope>(
        "scope", ostrel_scope_encode, ostrel_scope_decode, OSTREL_SCOPE_ENCODE_SIZE,
        [](ostrel_scope& r) { fill_scope(r, "/vobs/a"); },
        counting_wire(0x10) + counting_wire(0x20) + words({7, 0x2f766f62, 0x732f6100}) + words({5})));
    cases.push_back(blob<ostrel_synceleminfo_t>(
        "synceleminfo", ostrel_synceleminfo_encode, ostrel_synceleminfo_decode,
        OSTREL_SYNCELEMINFO_ENCODE_SIZE,
        [](ostrel_synceleminfo_t& r) { fill_info(r, "d/f.c", "/main/1", "/main/2"); },
        words({5, 0x642f662e, 0x63000000}) + counting_wire(0x30) + counting_wire(0x40) +
            counting_wire(0x50) + words({7, 0x2f6d6169, 0x6e2f3100}) +
            words({7, 0x2f6d6169, 0x6e2f3200})));
    cases.push_back(blob<ostrel_dirent_t>(
        "dirent", ostrel_dirent_encode, ostrel_dirent_decode, OSTREL_DIRENT_ENCODE_SIZE,
        [](ostrel_dirent_t& r) { fill_dirent(r, "abc"); },
        words({3, 0x61626300}) + words({7, 8, 0x11, 2}) + counting_wire(0x60) + words({5}) +
            counting_wire(0x70) + words({6}) + words({1})));
    // The largest of each: path names of 1023 bytes, a name of 257.
    const std::string longest(1023, 'p');
    cases.push_back(blob<ostrel_vstat>(
        "vstat, longest link", ostrel_vstat_encode, ostrel_vstat_decode, OSTREL_VSTAT_ENCODE_SIZE,
        [longest](ostrel_vstat& r) { fill_vstat(r, longest); },
        sample_vstat_wire() + words({1}) + text(longest)));
    cases.push_back(blob<ostrel_scope>(
        "scope, longest path", ostrel_scope_encode, ostrel_scope_decode, OSTREL_SCOPE_ENCODE_SIZE,
        [longest](ostrel_scope& r) { fill_scope(r, longest); },
        counting_wire(0x10) + counting_wire(0x20) + text(longest) + words({5})));
    cases.push_back(blob<ostrel_synceleminfo_t>(
        "synceleminfo, longest paths", ostrel_synceleminfo_encode, ostrel_synceleminfo_decode,
        OSTREL_SYNCELEMINFO_ENCODE_SIZE,
        [longest](ostrel_synceleminfo_t& r) { fill_info(r, longest, longest, longest); },
        text(longest) + counting_wire(0x30) + counting_wire(0x40) + counting_wire(0x50) +
            text(longest) + text(longest)));
    const std::string longest_name(257, 'n');
    cases.push_back(blob<ostrel_dirent_t>(
        "dirent, longest name", ostrel_dirent_encode, ostrel_dirent_decode,
        OSTREL_DIRENT_ENCODE_SIZE, [longest_name](ostrel_dirent_t& r) { fill_dirent(r, longest_name); },
        text(longest_name) + words({7, 8, 0x11, 2}) + counting_wire(0x60) + words({5}) +
            counting_wire(0x70) + words({6}) + words({1})));
    return cases;
}

TEST(XdrBlobs, GoldenBytesWithinTheirEncodingSizes) {
    for (const BlobCase& c : blob_cases()) {
        SCOPED_TRACE(c.name);
        c.check();
        EXPECT_LE(c.golden.size(), c.encode_size);
    }
}

TEST(XdrBlobs, DecodingEdges) {
    ostrel_vstat vstat = zeroed<ostrel_vstat>();
    EXPECT_EQ(ostrel_vstat_decode(0, nullptr, &vstat), 1001) << "zero bytes";
    EXPECT_EQ(ostrel_vstat_decode(4, nullptr, &vstat), 1072);

    const Bytes up_to_flag = sample_vstat_wire() + words({1});
    EXPECT_EQ(decode_blob(ostrel_vstat_decode, up_to_flag, &vstat), 1001)
        << "bytes ending after the checked-out flag";

    const Bytes tail = words({7, 8, 0x11, 2}) + counting_wire(0x60) + words({5}) +
                       counting_wire(0x70) + words({6}) + words({1});
    ostrel_dirent_t dirent = zeroed<ostrel_dirent_t>();
    std::memset(dirent.name, 'x', sizeof dirent.name);
    ASSERT_EQ(decode_blob(ostrel_dirent_decode, words({0}) + tail, &dirent), 0);
    EXPECT_EQ(dirent.namlen, 0u);
    EXPECT_STREQ(dirent.name, "") << "an empty name is still terminated";
    EXPECT_EQ(dirent.ino, 7u);
}

// A wire name longer than the entry's field, or a path name longer than its
// buffer, is refused both ways rather than overrunning the field.
TEST(XdrBlobs, OversizedNamesAreRefused) {
    const Bytes dirent_tail = words({7, 8, 0x11, 2}) + counting_wire(0x60) + words({5}) +
                              counting_wire(0x70) + words({6}) + words({1});
    ostrel_dirent_t dirent = zeroed<ostrel_dirent_t>();
    EXPECT_EQ(decode_blob(ostrel_dirent_decode, text(std::string(258, 'n')) + dirent_tail, &dirent),
              1001);
    EXPECT_EQ(dirent.namlen, 0u);
    dirent = zeroed<ostrel_dirent_t>();
    fill_dirent(dirent, std::string(257, 'n'));
    dirent.namlen = 258;
    Bytes out;
    EXPECT_EQ(encode_blob(ostrel_dirent_encode, dirent, &out), 1062);

    ostrel_scope scope = zeroed<ostrel_scope>();
    EXPECT_EQ(decode_blob(ostrel_scope_decode,
                          counting_wire(0x10) + counting_wire(0x20) + text(std::string(1024, 'p')) +
                              words({5}),
                          &scope),
              1001);
    EXPECT_STREQ(scope.pname, "");
    fill_scope(scope, std::string(1024, 'p'));
    EXPECT_EQ(encode_blob(ostrel_scope_encode, scope, &out), 1062) << "no NUL within the buffer";
}

} // namespace
