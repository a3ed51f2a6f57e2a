#include <stdio.h>

#include <cstring>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "platform/qel/qel.h"

namespace {

qel_oid_s counting_oid() {
    qel_oid_s oid;
    for (int i = 0; i < 16; ++i) oid.bytes[i] = static_cast<unsigned char>(i * 17);
    return oid;
}

TEST(QelIds, TextFormIsFixed) {
    char buf[QEL_OID_STR_SIZE];
    qel_oid_s oid = counting_oid();
    EXPECT_EQ(qel_oid_to_str(&oid, buf), buf);
    EXPECT_STREQ(buf, "00112233-4455-6677-8899-aabbccddeeff");
    EXPECT_STREQ(qel_oid_to_dstr(&oid, buf), "00112233-4455-6677-8899-aabbccddeeff");
    EXPECT_STREQ(qel_uuid_to_str(&QEL_UUID_NULL, buf), "00000000-0000-0000-0000-000000000000");
    qel_uuid_s uuid;
    qel_oid_to_uuid(&oid, &uuid);
    EXPECT_STREQ(qel_uuid_to_dstr(&uuid, buf), "00112233-4455-6677-8899-aabbccddeeff");
}

TEST(QelIds, GeneratedIdsRoundTripThroughText) {
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        qel_uuid_s uuid;
        qel_uuid_gen(&uuid);
        EXPECT_FALSE(qel_uuid_eq(&uuid, &QEL_UUID_NULL));
        EXPECT_EQ(uuid.bytes[6] >> 4, 4) << "version 4";
        EXPECT_EQ(uuid.bytes[8] & 0xC0, 0x80) << "RFC 4122 variant";
        char text[QEL_UUID_STR_SIZE];
        qel_uuid_to_str(&uuid, text);
        EXPECT_EQ(std::strpbrk(text, "=@/ \t"), nullptr) << text;
        EXPECT_TRUE(seen.insert(text).second) << "repeated uuid " << text;
        qel_uuid_s back;
        ASSERT_EQ(qel_str_to_uuid(text, &back), QEL_ST_OK) << text;
        EXPECT_TRUE(qel_uuid_eq(&uuid, &back));

        qel_oid_s oid;
        std::memcpy(oid.bytes, uuid.bytes, 16);
        qel_oid_to_str(&oid, text);
        qel_oid_s oid_back;
        ASSERT_EQ(qel_str_to_oid(text, &oid_back), QEL_ST_OK);
        EXPECT_TRUE(qel_oid_eq(&oid, &oid_back));
    }
}

TEST(QelIds, ParsersAcceptUpperCaseAndRejectMalformedText) {
    qel_oid_s oid;
    ASSERT_EQ(qel_str_to_oid("00112233-4455-6677-8899-AABBCCDDEEFF", &oid), QEL_ST_OK);
    qel_oid_s expected = counting_oid();
    EXPECT_TRUE(qel_oid_eq(&oid, &expected));

    const char* bad[] = {
        "",
        "00112233-4455-6677-8899-aabbccddeef",     // 35 characters
        "00112233-4455-6677-8899-aabbccddeeff0",   // 37
        "00112233-4455-6677-8899-aabbccddeeff ",   // trailing blank
        " 00112233-4455-6677-8899-aabbccddeeff",   // leading blank
        "00112233-4455-6677-8899-aabbccddeefg",    // not hex
        "001122334-455-6677-8899-aabbccddeeff",    // dash misplaced
        "00112233-4455-6677-8899_aabbccddeeff",    // wrong separator
        "--112233-4455-6677-8899-aabbccddeeff",    // dashes in place of digits
        "00112233445566778899aabbccddeeff",        // no dashes
    };
    for (const char* text : bad) {
        qel_oid_s out = counting_oid();
        EXPECT_NE(qel_str_to_oid(text, &out), QEL_ST_OK) << '"' << text << '"';
        EXPECT_TRUE(qel_oid_eq(&out, &expected)) << "output changed by \"" << text << '"';
        qel_uuid_s uuid = QEL_UUID_NULL;
        EXPECT_NE(qel_str_to_uuid(text, &uuid), QEL_ST_OK) << '"' << text << '"';
    }
    EXPECT_NE(qel_str_to_oid(nullptr, &oid), QEL_ST_OK);
}

TEST(QelIds, CompareAndHashAreStable) {
    qel_oid_s a = counting_oid();
    qel_oid_s b = a;
    EXPECT_EQ(qel_oid_cmp(&a, &b), 0);
    b.bytes[15] = 0xf0;
    EXPECT_GT(qel_oid_cmp(&a, &b), 0);
    EXPECT_LT(qel_oid_cmp(&b, &a), 0);
    EXPECT_LT(qel_oid_cmp(&QEL_OID_NULL, &a), 0);
    EXPECT_TRUE(qel_oid_eq(&QEL_OID_NULL, &QEL_OID_NULL));

    // FNV-1a 32-bit over the 16 bytes.
    EXPECT_EQ(qel_oid_to_hash32(&QEL_OID_NULL), 0x69691905u);
    qel_oid_s seq;
    for (int i = 0; i < 16; ++i) seq.bytes[i] = static_cast<unsigned char>(i);
    EXPECT_EQ(qel_oid_to_hash32(&seq), 0xc8fff215u);
    qel_uuid_s useq;
    qel_oid_to_uuid(&seq, &useq);
    EXPECT_EQ(qel_uuid_to_hash32(&useq), 0xc8fff215u);
    EXPECT_EQ(qel_uuid_cmp(&useq, &useq), 0);
}

TEST(QelIds, FscanfReadsWordsOfAtMost128Characters) {
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    std::fprintf(out, "  00112233-4455-6677-8899-aabbccddeeff\n notanid %s\t00000000-0000-0000-0000-000000000001",
                 std::string(129, 'a').c_str());
    std::fclose(out);
    FILE* in = fmemopen(text, size, "r");
    qel_oid_s oid;
    qel_uuid_s uuid;
    qel_oid_s expected = counting_oid();
    EXPECT_EQ(qel_fscanf_oid(in, &oid), 1);
    EXPECT_TRUE(qel_oid_eq(&oid, &expected));
    EXPECT_EQ(qel_fscanf_oid(in, &oid), 0);
    EXPECT_EQ(qel_fscanf_uuid(in, &uuid), 0) << "a word of 129 characters";
    EXPECT_EQ(qel_fscanf_uuid(in, &uuid), 1) << "reading goes on after the long word";
    EXPECT_EQ(uuid.bytes[15], 1);
    EXPECT_EQ(qel_fscanf_uuid(in, &uuid), EOF);
    std::fclose(in);
    free(text);
}

}  // namespace
