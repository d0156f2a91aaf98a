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

// Reads a type and then a value of it.
db::Value decode(Reader& r) {
    TypeInfo t = readTypeInfo(r);
    return readValue(r, t);
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

TEST(TdsTypes, ValuesRoundTrip) {
    using db::Value;
    const std::string big(70000, 'y');
    struct Case {
        TypeInfo type;
        Value in, out;
    };
    for (const Case& c : std::vector<Case>{
             {type(kIntN, 4), -42, -42}, {type(kIntN, 8), 5000000000LL, 5000000000LL}, {type(kIntN, 4), "17", 17},
             {type(kIntN, 4), 5000000000LL, Value()},  // does not fit
             {type(kIntN, 4), "not a number", Value()}, {type(kFltN, 8), 0.1, 0.1}, {type(kBitN, 1), true, true},
             {type(kMoneyN, 8), -12.3456, -12.3456}, {type(kDecimalN, 9, 2, 18), -1234.5, -1234.5},
             {type(kDateTimN, 8), "2026-03-07 14:05:09", "2026-03-07 14:05:09"},
             {type(kDateTimN, 4), "2026-03-07 14:05:00", "2026-03-07 14:05:00"},
             {type(kDateTime2N, 0, 7), "1999-12-31 23:59:59.1234567", "1999-12-31 23:59:59"},
             {type(kDateN), "2024-02-29", "2024-02-29"}, {type(kTimeN, 0, 3), "07:08:09", "07:08:09"},
             {type(kDateTimN, 8), "2023-02-29 00:00:00", Value()},
             // The datetime type starts in 1753 on the server but counts from 1900.
             {type(kDateTimN, 8), "1899-12-31 00:00:00", "1899-12-31 00:00:00"},
             {type(kBigVarChr, 50), "Grüße € 'x'", "Grüße € 'x'"},
             {type(kBigVarChr, 50), "Ωmega", "?mega"},  // not in the code page
             {type(kBigVarChr, 3), "abcdef", "abc"}, {type(kBigChar, 4), "ab", "ab  "},
             {type(kNVarChar, 20), "Ωmega ✓", "Ωmega ✓"}, {type(kNVarChar, 20), 12, "12"},
             {type(kNVarChar, 0xFFFF), big, big}, {type(kBigVarChr, 0xFFFF), big, big}})
        EXPECT_EQ(roundTrip(c.type, c.in), c.out) << int(c.type.type) << " " << c.in.toText().substr(0, 30);
    for (uint8_t t : {kIntN, kFltN, kBitN, kMoneyN, kDateTimN, kDateTime2N, kNVarChar, kBigVarChr})
        EXPECT_TRUE(roundTrip(type(t, t == kNVarChar || t == kBigVarChr ? 0xFFFF : t == kBitN ? 1 : 8, 3), db::Value())
                        .isNull())
            << int(t);
    EXPECT_EQ(fromCp1252("\x80\x9f\xe9"), "€Ÿé");
    EXPECT_EQ(toCp1252("€Ÿé😀"), "\x80\x9f\xe9?");
}

// Values as a client sends them: a fixed datetime (days since 1900 and 1/300 s)
// and a datetimeoffset at the edges of its range (shown at its offset).
TEST(TdsTypes, ValuesAsClientsSendThem) {
    for (auto [bytes, value] : std::vector<std::pair<std::string, std::string>>{
             {std::string("\x3D\xC8\xAF\x00\x00\xC0\x7A\x10\x00", 9), "2023-03-17 01:00:00"},
             {std::string("\x2B\x00\x08\x00\x00\x00\x00\x00\x00\x3C\x00", 11), "0001-01-01 01:00:00"},  // +01:00
             {std::string("\x2B\x00\x08\x70\x43\x01\xDA\xB9\x37\xE2\xFF", 11), "9999-12-31 22:30:00"}}) {  // -00:30
        Reader r(bytes);
        EXPECT_EQ(decode(r), db::Value(value)) << value;
        EXPECT_TRUE(r.done());
    }
}

// The size the journal shows (declared characters, whole text for (max) types)
// and the column types chosen for a record set, wide enough for every value.
TEST(TdsTypes, ParameterSizesAndColumnTypes) {
    EXPECT_EQ(dataTypeOf(type(kText)), db::adLongVarChar);
    EXPECT_EQ(sizeOf(type(kBigVarChr, 40), db::Value("x")), 40);
    EXPECT_EQ(sizeOf(type(kNVarChar, 40), db::Value("x")), 20);
    EXPECT_EQ(sizeOf(type(kBigVarChr, 0xFFFF), db::Value("Grüße")), 5);

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
        {"type without its length", std::string("\x26", 1)}, {"unknown type", std::string("\x99", 1)},
        {"intn of 3 bytes", std::string("\x26\x03", 2)}, {"intn type of length 200", std::string("\x26\xC8", 2)},
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
    };
    for (const auto& [what, bytes] : cases) {
        Reader r(bytes);
        EXPECT_THROW(decode(r), ProtocolError) << what;
    }
}
