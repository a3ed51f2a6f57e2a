// Wire forms of the base library's types: golden bytes written by hand,
// decoded back, every shorter input refused; values without a wire form
// refused on encode.

#include "platform/qel/qel_xdr.h"

#include <sys/time.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "xdr/xdr_samples.h"
#include "xdr/xdr_test_support.h"

namespace {

using xdr_test::Bytes;
using xdr_test::operator+;
using xdr_test::words;

// Encodes `value`, expects `golden`, decodes `golden` back to `value` (byte
// for byte), and expects every proper prefix of `golden` to fail.
template <typename T>
void expect_wire(const char* what, xdr_test::Proc<T> proc, const T& value, const Bytes& golden) {
    SCOPED_TRACE(what);
    Bytes out;
    ASSERT_TRUE(xdr_test::encode(proc, value, &out));
    EXPECT_EQ(xdr_test::hex(out), xdr_test::hex(golden));
    T back = xdr_test::zeroed<T>();
    size_t used = 0;
    ASSERT_TRUE(xdr_test::decode(proc, golden, &back, &used));
    EXPECT_EQ(used, golden.size());
    EXPECT_EQ(std::memcmp(&back, &value, sizeof(T)), 0);
    for (size_t n = 0; n < golden.size(); ++n) {
        T partial = xdr_test::zeroed<T>();
        EXPECT_FALSE(xdr_test::decode(proc, Bytes(golden.begin(), golden.begin() + n), &partial))
            << n << " bytes";
    }
}

qel_oid_t counting_id(unsigned char first) {
    qel_oid_t id;
    for (int i = 0; i < 16; ++i) id.bytes[i] = static_cast<unsigned char>(first + i);
    return id;
}

// A path name inside a record, as the records that carry one hold it.
struct Pname {
    qel_pname_t text;
};

bool_t xdr_pname(XDR* xdrs, Pname* pname) {
    return xdr_qel_pname_t(xdrs, &pname->text);
}

Pname pname_of(const std::string& text) {
    Pname pname = xdr_test::zeroed<Pname>();
    std::memcpy(pname.text, text.data(), std::min(text.size(), sizeof pname.text));
    return pname;
}

TEST(QelXdr, GoldenWireForms) {
    qel_oid_t oid = counting_id(0);
    qel_uuid_t uuid;
    std::memcpy(uuid.bytes, oid.bytes, 16);
    const Bytes counting = words({0x00010203, 0x04050607, 0x08090a0b, 0x0c0d0e0f});
    expect_wire("oid", xdr_qel_oid_t, oid, counting);
    expect_wire("uuid", xdr_qel_uuid_t, uuid, counting);
    expect_wire("dbid", xdr_qel_dbid_t, qel_dbid_t{0x01020304}, words({0x01020304}));
    expect_wire("status", xdr_qel_status_t, qel_status_t{1063}, words({0x427}));
    expect_wire("negative status", xdr_qel_status_t, qel_status_t{-1}, words({0xffffffff}));
    expect_wire("boolean", xdr_qel_boolean_t, qel_boolean_t{1}, words({1}));
    expect_wire("mtype", xdr_vob_mtype_t, vob_mtype_t{6}, words({6}));
    expect_wire("xid", xdr_xid_t, xid_t{0xfedcba98}, words({0xfedcba98}));
    expect_wire("time past 2038", xdr_time_t, time_t{0xfffffffe}, words({0xfffffffe}));
    expect_wire("size", xdr_size_t, size_t{0xffffffff}, words({0xffffffff}));
    expect_wire("timeval", xdr_timeval, timeval{1, 999999}, words({1, 999999}));

    const Bytes fstat_wire = xdr_test::sample_fstat_wire();
    ASSERT_EQ(fstat_wire.size(), 132u);
    expect_wire("file status", xdr_qel_fstat_db_t, xdr_test::sample_fstat(), fstat_wire);

    expect_wire("pname", xdr_pname, pname_of("/vobs/src"),
                words({9}) + xdr_test::padded("/vobs/src"));
}

TEST(QelXdr, BooleanDecodesAnyNonZeroWordAsTrue) {
    qel_boolean_t value = 0;
    ASSERT_TRUE(xdr_test::decode(xdr_qel_boolean_t, words({2}), &value));
    EXPECT_EQ(value, 1);
}

TEST(QelXdr, ValuesWithoutAWireFormFailToEncode) {
    Bytes out;
    EXPECT_FALSE(xdr_test::encode(xdr_time_t, time_t{-1}, &out));
    EXPECT_FALSE(xdr_test::encode(xdr_time_t, time_t{0x100000000}, &out));
    EXPECT_FALSE(xdr_test::encode(xdr_size_t, size_t{0x100000000}, &out));
    EXPECT_FALSE(xdr_test::encode(xdr_timeval, timeval{0, -1}, &out));
    EXPECT_FALSE(xdr_test::encode(xdr_timeval, timeval{0x100000000, 0}, &out));
}

// A path name holds at most 1023 bytes and its NUL, both ways; a decoded one
// is always NUL-terminated, also when the buffer held a longer text before.
TEST(QelXdr, PathNameBounds) {
    Bytes out;
    EXPECT_FALSE(xdr_test::encode(xdr_pname, pname_of(std::string(1024, 'a')), &out))
        << "no NUL within the buffer";
    ASSERT_TRUE(xdr_test::encode(xdr_pname, pname_of(std::string(1023, 'a')), &out));
    EXPECT_EQ(out.size(), 4u + 1024u);

    Pname back = pname_of(std::string(1024, 'x'));
    EXPECT_FALSE(xdr_test::decode(xdr_pname, xdr_test::text(std::string(1024, 'b')), &back));
    EXPECT_STREQ(back.text, "") << "a refused text leaves an empty one";

    back = pname_of(std::string(1024, 'x'));
    ASSERT_TRUE(xdr_test::decode(xdr_pname, xdr_test::text("ab"), &back));
    EXPECT_STREQ(back.text, "ab");
}

} // namespace
