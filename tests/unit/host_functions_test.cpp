// The host function table as the interpreter reads it: every record compared byte for
// byte with the rows scripts were written against, so that no change to how the table
// is made moves an id, a kind, a count, a parameter type or a name.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "host/callback.h"
#include "shared/abi.h"

using namespace kel;
using namespace kel::host;

namespace {

struct Row {
    int32_t id;
    const char* name;
    int32_t kind;      // 2 function, 3 named constant, 4 statement
    uint8_t required;  // functions
    int32_t value;     // named constants
};

// The rows in the order the interpreter expects them.
constexpr Row kExpected[] = {
    {0, "reload", 2, 0, 0},          {1, "version", 2, 0, 0},        {2, "intcontrol", 2, 5, 0},
    {3, "webcloselog", 2, 1, 0},     {4, "webcmddata", 2, 0, 0},     {5, "webconbuf", 2, 1, 0},
    {6, "webcondata", 2, 0, 0},      {7, "webconsize", 2, 0, 0},     {8, "webcounter", 2, 1, 0},
    {9, "webdatdata", 2, 3, 0},      {10, "webhashcode", 2, 1, 0},   {11, "webislocal", 2, 0, 0},
    {12, "weblogline", 2, 2, 0},     {13, "webopenlog", 2, 2, 0},    {14, "webout", 2, 2, 0},
    {15, "weboutfile", 2, 1, 0},     {16, "webparambuf", 2, 2, 0},   {17, "webparamdata", 2, 1, 0},
    {18, "webparamfile", 2, 2, 0},   {19, "webparamsize", 2, 1, 0},  {20, "webparamnames", 2, 0, 0},
    {21, "webbaseconv", 2, 3, 0},    {22, "webverifycard", 2, 1, 0}, {23, "webdumperror", 2, 2, 0},
    {24, "websettimeout", 2, 1, 0},  {25, "breakpoint", 4, 0, 0},    {26, "@commonformat", 3, 0, 1},
    {27, "@ncsaformat", 3, 0, 2},    {28, "@msformat", 3, 0, 3},     {29, "rtstatus", 2, 0, 0},
    {30, "weboutbinary", 2, 1, 0},   {31, "dirscript", 2, 0, 0},     {32, "webcmdrawdata", 2, 1, 0},
};
constexpr size_t kRows = sizeof kExpected / sizeof kExpected[0];

// The record a row stands for, built field by field on a zeroed record: every byte the
// interpreter may read (padding and the name's NUL fill included) is fixed.
KeywordRecord expected_record(const Row& row) {
    KeywordRecord r;
    std::memset(&r, 0, sizeof r);
    r.id = row.id;
    r.kind = row.kind;
    if (row.kind == 2) {
        // Five string parameters: one nibble of 1 each, argument 1 in the low nibble.
        r.ptypes[0] = 0x11;
        r.ptypes[1] = 0x11;
        r.ptypes[2] = 0x01;
    }
    if (row.kind == 3) r.u.value = row.value;
    else r.u.args.required = row.required;
    r.name_len = static_cast<uint16_t>(std::strlen(row.name));
    std::memcpy(r.name, row.name, r.name_len);
    return r;
}

}  // namespace

TEST(HostFunctionRecords, MatchTheRowsByteForByte) {
    ASSERT_EQ(host_function_count(), kRows);
    const KeywordRecord* table = host_function_table();
    for (size_t i = 0; i < kRows; ++i) {
        KeywordRecord want = expected_record(kExpected[i]);
        const KeywordRecord& got = table[i];
        EXPECT_EQ(got.id, want.id) << kExpected[i].name;
        EXPECT_EQ(got.kind, want.kind) << kExpected[i].name;
        EXPECT_EQ(std::string(got.name, got.name_len), kExpected[i].name) << i;
        EXPECT_EQ(got.u.args.required, want.u.args.required) << kExpected[i].name;
        EXPECT_EQ(got.u.value, want.u.value) << kExpected[i].name;
        EXPECT_EQ(std::memcmp(got.ptypes, want.ptypes, sizeof want.ptypes), 0) << kExpected[i].name;
        EXPECT_EQ(std::memcmp(&got, &want, sizeof want), 0) << "record " << i << " (" << kExpected[i].name << ")";
    }
}

TEST(HostFunctionRecords, ClosingRecordEndsTheTable) {
    const KeywordRecord& end = host_function_table()[host_function_count()];
    KeywordRecord want;
    std::memset(&want, 0, sizeof want);
    want.id = 9999;
    EXPECT_EQ(end.name_len, 0);
    EXPECT_EQ(std::memcmp(&end, &want, sizeof want), 0);
}
