// TDS data types: reading the client's parameters into the database
// client's values, writing columns and output values back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/db/db.h"
#include "sim/tds/wire.h"

namespace dz::sim::tds {

enum TypeCode : uint8_t {
    kNull = 0x1F,
    kImage = 0x22,
    kText = 0x23,
    kGuid = 0x24,
    kIntN = 0x26,
    kDateN = 0x28,
    kTimeN = 0x29,
    kDateTime2N = 0x2A,
    kDateTimeOffsetN = 0x2B,
    kInt1 = 0x30,
    kBit = 0x32,
    kInt2 = 0x34,
    kInt4 = 0x38,
    kDateTim4 = 0x3A,
    kFlt4 = 0x3B,
    kMoney = 0x3C,
    kDateTime = 0x3D,
    kFlt8 = 0x3E,
    kNText = 0x63,
    kBitN = 0x68,
    kDecimalN = 0x6A,
    kNumericN = 0x6C,
    kFltN = 0x6D,
    kMoneyN = 0x6E,
    kDateTimN = 0x6F,
    kMoney4 = 0x7A,
    kInt8 = 0x7F,
    kBigVarBin = 0xA5,
    kBigVarChr = 0xA7,
    kBigBinary = 0xAD,
    kBigChar = 0xAF,
    kNVarChar = 0xE7,
    kNChar = 0xEF,
    kXml = 0xF1,
};

struct TypeInfo {
    uint8_t type = kNVarChar;
    uint32_t maxLen = 0;  // bytes; 0xFFFF for the (max) types
    uint8_t precision = 0;
    uint8_t scale = 0;
    std::string collation = kCollation;

    bool plp() const;  // values travel in chunks (the (max) types, xml)
};

// A type description as it follows a parameter's name or a column's flags.
TypeInfo readTypeInfo(Reader& r);
void writeTypeInfo(Writer& w, const TypeInfo& t);

// A value of that type. Dates and times become "yyyy-mm-dd hh:mm:ss" text
// (a date alone "yyyy-mm-dd", a time alone "hh:mm:ss"), character data
// UTF-8 text, binary data hexadecimal text.
db::Value readValue(Reader& r, const TypeInfo& t);
// Writes `v` as a value of type `t`; a value that does not convert (or
// does not fit) is written as Null.
void writeValue(Writer& w, const TypeInfo& t, const db::Value& v);

// The client's type code and size for a parameter of that type.
db::DataType dataTypeOf(const TypeInfo& t);
long sizeOf(const TypeInfo& t, const db::Value& v);

// The column type that holds every value of column `c`: int, bigint,
// float, bit or nvarchar (n or max).
TypeInfo columnType(const std::vector<std::vector<db::Value>>& rows, size_t c);

}  // namespace dz::sim::tds
