// TDS values as the listener reads and writes them: every type a client
// may send, Nulls, the code page of varchar data, and the column types it
// chooses for a record set.
#include <gtest/gtest.h>

#include "sim/tds/types.h"
#include "sim/tds/wire.h"

using namespace dz;
using namespace dz::sim::tds;

namespace {

TypeInfo type(uint8_t code, uint32_t maxLen = 0, uint8_t scale = 0, uint8_t precision = 0) {
    TypeInfo t;
    t.type = code;
    t.maxLen = maxLen;
    t.scale = scale;
    t.precision = precision;
    return t;
}

// Writes the type and the value, reads both back.
db::Value roundTrip(const TypeInfo& t, const db::Value& v) {
    Writer w;
    writeTypeInfo(w, t);
    writeValue(w, t, v);
    Reader r(w.data());
    TypeInfo back = readTypeInfo(r);
    EXPECT_EQ(back.type, t.type);
    db::Value got = readValue(r, back);
    EXPECT_TRUE(r.done());
    return got;
}

}  // namespace

TEST(TdsTypes, NumbersRoundTrip) {
    EXPECT_EQ(roundTrip(type(kIntN, 4), db::Value(-42)), db::Value(-42));
    EXPECT_EQ(roundTrip(type(kIntN, 8), db::Value(5000000000LL)), db::Value(5000000000LL));
    EXPECT_TRUE(roundTrip(type(kIntN, 4), db::Value(5000000000LL)).isNull());  // does not fit
    EXPECT_EQ(roundTrip(type(kIntN, 4), db::Value("17")), db::Value(17));
    EXPECT_EQ(roundTrip(type(kFltN, 8), db::Value(0.1)), db::Value(0.1));
    EXPECT_EQ(roundTrip(type(kBitN, 1), db::Value(true)), db::Value(true));
    EXPECT_EQ(roundTrip(type(kMoneyN, 8), db::Value(-12.3456)), db::Value(-12.3456));
    EXPECT_EQ(roundTrip(type(kDecimalN, 9, 2, 18), db::Value(-1234.5)), db::Value(-1234.5));
    for (uint8_t t : {kIntN, kFltN, kBitN, kMoneyN, kDateTimN, kDateTime2N, kNVarChar, kBigVarChr})
        EXPECT_TRUE(roundTrip(type(t, t == kNVarChar || t == kBigVarChr ? 0xFFFF : t == kBitN ? 1 : 8, 3), db::Value())
                        .isNull())
            << int(t);
    EXPECT_TRUE(roundTrip(type(kIntN, 4), db::Value("not a number")).isNull());
}

TEST(TdsTypes, DatesAndTimes) {
    EXPECT_EQ(roundTrip(type(kDateTimN, 8), db::Value("2026-03-07 14:05:09")), db::Value("2026-03-07 14:05:09"));
    EXPECT_EQ(roundTrip(type(kDateTimN, 4), db::Value("2026-03-07 14:05:00")), db::Value("2026-03-07 14:05:00"));
    EXPECT_EQ(roundTrip(type(kDateTime2N, 0, 7), db::Value("1999-12-31 23:59:59.1234567")),
              db::Value("1999-12-31 23:59:59"));
    EXPECT_EQ(roundTrip(type(kDateN), db::Value("2024-02-29")), db::Value("2024-02-29"));
    EXPECT_EQ(roundTrip(type(kTimeN, 0, 3), db::Value("07:08:09")), db::Value("07:08:09"));
    EXPECT_TRUE(roundTrip(type(kDateTimN, 8), db::Value("2023-02-29 00:00:00")).isNull());
    // The datetime type starts in 1753 on the server but counts from 1900.
    EXPECT_EQ(roundTrip(type(kDateTimN, 8), db::Value("1899-12-31 00:00:00")).toText(), "1899-12-31 00:00:00");

    // A fixed datetime as a client sends it: days since 1900 and 1/300 s.
    Writer w;
    w.u8(kDateTime);
    w.u32(uint32_t(45000));
    w.u32(300 * 3600);
    Reader r(w.data());
    TypeInfo t = readTypeInfo(r);
    EXPECT_EQ(readValue(r, t), db::Value("2023-03-17 01:00:00"));
}

TEST(TdsTypes, CharacterData) {
    TypeInfo varchar = type(kBigVarChr, 50);
    EXPECT_EQ(roundTrip(varchar, db::Value("Grüße € 'x'")), db::Value("Grüße € 'x'"));
    EXPECT_EQ(roundTrip(varchar, db::Value("Ωmega")), db::Value("?mega"));  // not in the code page
    EXPECT_EQ(roundTrip(type(kBigVarChr, 3), db::Value("abcdef")), db::Value("abc"));
    EXPECT_EQ(roundTrip(type(kBigChar, 4), db::Value("ab")), db::Value("ab  "));
    EXPECT_EQ(roundTrip(type(kNVarChar, 20), db::Value("Ωmega ✓")), db::Value("Ωmega ✓"));
    EXPECT_EQ(roundTrip(type(kNVarChar, 20), db::Value(12)), db::Value("12"));
    std::string big(70000, 'y');
    EXPECT_EQ(roundTrip(type(kNVarChar, 0xFFFF), db::Value(big)), db::Value(big));
    EXPECT_EQ(roundTrip(type(kBigVarChr, 0xFFFF), db::Value(big)), db::Value(big));

    EXPECT_EQ(fromCp1252("\x80\x9f\xe9"), "€Ÿé");
    EXPECT_EQ(toCp1252("€Ÿé😀"), "\x80\x9f\xe9?");
}

// The size the journal shows: declared characters, whole text for (max) types.
TEST(TdsTypes, ParameterSizes) {
    EXPECT_EQ(dataTypeOf(type(kText)), db::adLongVarChar);
    EXPECT_EQ(sizeOf(type(kBigVarChr, 40), db::Value("x")), 40);
    EXPECT_EQ(sizeOf(type(kNVarChar, 40), db::Value("x")), 20);
    EXPECT_EQ(sizeOf(type(kBigVarChr, 0xFFFF), db::Value("Grüße")), 5);
}

TEST(TdsTypes, ColumnTypesHoldEveryValue) {
    using Rows = std::vector<std::vector<db::Value>>;
    EXPECT_EQ(columnType(Rows{{1}, {db::Value()}, {2}}, 0).maxLen, 4u);
    EXPECT_EQ(columnType(Rows{{1}, {5000000000LL}}, 0).maxLen, 8u);
    EXPECT_EQ(columnType(Rows{{1}, {2.5}}, 0).type, kFltN);
    TypeInfo mixed = columnType(Rows{{1}, {"abc"}}, 0);
    EXPECT_EQ(mixed.type, kNVarChar);
    EXPECT_EQ(mixed.maxLen, 6u);
    EXPECT_EQ(columnType(Rows{{db::Value()}}, 0).type, kNVarChar);
    EXPECT_EQ(columnType(Rows{{std::string(5000, 'z')}}, 0).maxLen, 0xFFFFu);
}

// Whatever a client sends, decoding ends in a value or a protocol error:
// never an out-of-range exception or a read past the message.
TEST(TdsTypes, MalformedInputIsAProtocolError) {
    const std::vector<std::pair<const char*, std::string>> cases{
        {"type without its length", std::string("\x26", 1)},
        {"unknown type", std::string("\x99", 1)},
        {"intn of 3 bytes", std::string("\x26\x03", 2)},
        {"varchar cut short", std::string("\xE7\x10\x00\x09\x04\xD0\x00\x34\x10\x00" "ab", 12)},
        {"moneyn of 1 byte", std::string("\x6E\x08\x01\x00", 4)},
        {"datetimn of 2 bytes", std::string("\x6F\x08\x02\x00\x00", 5)},
        {"datetime2n of 1 byte", std::string("\x2A\x07\x01\x00", 4)},
        {"datetimeoffsetn of 2 bytes", std::string("\x2B\x07\x02\x00\x00", 5)},
        {"fltn of 3 bytes", std::string("\x6D\x08\x03\x00\x00\x00", 6)},
        {"guid of 4 bytes", std::string("\x24\x10\x04\x00\x00\x00\x00", 7)},
        {"date of 5 bytes", std::string("\x28\x05\x00\x00\x00\x00\x00", 7)},
        {"time past midnight", std::string("\x29\x00\x03\xFF\xFF\xFF", 6)},
        {"datetime past the day", std::string("\x3D\x00\x00\x00\x00\xFF\xFF\xFF\xFF", 9)},
        {"intn type of length 200", std::string("\x26\xC8", 2)},
    };
    for (const auto& [what, bytes] : cases) {
        Reader r(bytes);
        EXPECT_THROW(
            {
                TypeInfo t = readTypeInfo(r);
                readValue(r, t);
            },
            ProtocolError)
            << what;
    }
}

TEST(TdsTypes, DateTimeOffsetAtTheEdgesOfItsRange) {
    // 0001-01-01 00:00:00 UTC, shown at +01:00; 9999-12-31 23:00 at -00:30.
    const std::string first("\x2B\x00\x08\x00\x00\x00\x00\x00\x00\x3C\x00", 11);
    Reader r(first);
    TypeInfo t = readTypeInfo(r);
    EXPECT_EQ(readValue(r, t), db::Value("0001-01-01 01:00:00"));
    Writer w;
    w.u8(kDateTimeOffsetN), w.u8(0), w.u8(8);
    for (int i = 0; i < 3; ++i) w.u8(uint8_t((23 * 3600) >> (8 * i)));
    long long lastDay = 3652058;  // days from 0001-01-01 to 9999-12-31
    for (int i = 0; i < 3; ++i) w.u8(uint8_t(lastDay >> (8 * i)));
    w.u16(uint16_t(int16_t(-30)));
    Reader last(w.data());
    t = readTypeInfo(last);
    EXPECT_EQ(readValue(last, t), db::Value("9999-12-31 22:30:00"));
}
