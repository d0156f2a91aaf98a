// Reading and writing TDS values.
#include "sim/tds/types.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "platform/text.h"
#include "platform/text.h"

namespace dz::sim::tds {

namespace {

// ---- dates ------------------------------------------------------------------

long long daysFromCivil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    long long era = (y >= 0 ? y : y - 399) / 400;
    unsigned yoe = unsigned(y - era * 400);
    unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + (long long)doe - 719468;  // days since 1970-01-01
}

void civilFromDays(long long z, int& y, unsigned& m, unsigned& d) {
    z += 719468;
    long long era = (z >= 0 ? z : z - 146096) / 146097;
    unsigned doe = unsigned(z - era * 146097);
    unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    long long yy = (long long)yoe + era * 400;
    unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = int(yy + (m <= 2));
}

const long long kEpoch1900 = daysFromCivil(1900, 1, 1);
const long long kEpoch0001 = daysFromCivil(1, 1, 1);
const long long kLastDay = daysFromCivil(9999, 12, 31);
constexpr long long kNanosPerDay = 86400LL * 1000000000LL;

struct Stamp {
    long long days = 0;      // since 1970-01-01
    long long nanos = 0;     // since midnight
};

std::string formatStamp(const Stamp& s, bool date, bool time) {
    int y;
    unsigned m, d;
    civilFromDays(s.days, y, m, d);
    long long secs = s.nanos / 1000000000;
    char buf[48];
    if (date && time)
        std::snprintf(buf, sizeof buf, "%04d-%02u-%02u %02lld:%02lld:%02lld", y, m, d, secs / 3600, secs / 60 % 60,
                      secs % 60);
    else if (date)
        std::snprintf(buf, sizeof buf, "%04d-%02u-%02u", y, m, d);
    else
        std::snprintf(buf, sizeof buf, "%02lld:%02lld:%02lld", secs / 3600, secs / 60 % 60, secs % 60);
    return buf;
}

// "yyyy-mm-dd[( |T)hh:mm:ss[.fffffff]]" or "hh:mm:ss".
bool parseStamp(const std::string& raw, Stamp& out) {
    std::string s = text::trim(raw);
    int y = 1900, mo = 1, d = 1, h = 0, mi = 0, sec = 0, used = 0;
    size_t pos = 0;
    char sep1, sep2;
    if (std::sscanf(s.c_str(), "%4d%c%2d%c%2d%n", &y, &sep1, &mo, &sep2, &d, &used) == 5 && used == 10 &&
        sep1 == sep2 && (sep1 == '-' || sep1 == '/')) {
        pos = 10;
        if (pos < s.size() && (s[pos] == ' ' || s[pos] == 'T')) ++pos;
        else if (pos < s.size()) return false;
    }
    long long frac = 0;
    if (pos < s.size()) {
        used = 0;
        if (std::sscanf(s.c_str() + pos, "%2d:%2d:%2d%n", &h, &mi, &sec, &used) != 3 || used != 8) return false;
        pos += 8;
        if (pos < s.size()) {
            if (s[pos] != '.') return false;
            std::string digits = s.substr(pos + 1);
            if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos)
                return false;
            digits.resize(9, '0');
            frac = std::stoll(digits);
        }
    }
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    if (y < 1 || y > 9999 || mo < 1 || mo > 12 || d < 1 || d > kDays[mo - 1] + (mo == 2 && leap)) return false;
    if (h > 23 || mi > 59 || sec > 59) return false;
    out.days = daysFromCivil(y, unsigned(mo), unsigned(d));
    out.nanos = ((long long)h * 3600 + mi * 60 + sec) * 1000000000LL + frac;
    return true;
}

// Callers pass 1 to 8 bytes.
long long le(std::string_view b) {
    unsigned long long v = 0;
    for (size_t i = 0; i < b.size(); ++i) v |= (unsigned long long)uint8_t(b[i]) << (8 * i);
    return (long long)v;
}

long long signedLe(std::string_view b) {
    unsigned long long v = (unsigned long long)le(b);
    if (b.size() < 8 && (uint8_t(b.back()) & 0x80)) v |= ~0ULL << (8 * b.size());  // sign-extend
    return (long long)v;
}

// A date and time the server's types can hold (years 1 to 9999), else the
// message is malformed.
Stamp checked(long long days, long long nanos) {
    if (days < kEpoch0001 || days > kLastDay || nanos < 0 || nanos >= kNanosPerDay)
        throw ProtocolError("date or time out of range");
    return Stamp{days, nanos};
}

// The length of the time part of a time, datetime2 or datetimeoffset value.
size_t timeLength(uint8_t scale) { return scale <= 2 ? 3 : scale <= 4 ? 4 : 5; }

std::string hex(std::string_view b) {
    static const char* const k = "0123456789ABCDEF";
    std::string out;
    for (char c : b) {
        out += k[uint8_t(c) >> 4];
        out += k[uint8_t(c) & 15];
    }
    return out;
}

std::string guidText(std::string_view b) {
    char buf[40];
    auto u = [&](size_t i) { return unsigned(uint8_t(b[i])); };
    std::snprintf(buf, sizeof buf, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", u(3), u(2),
                  u(1), u(0), u(5), u(4), u(7), u(6), u(8), u(9), u(10), u(11), u(12), u(13), u(14), u(15));
    return buf;
}

long long pow10(int n) {
    long long v = 1;
    while (n-- > 0) v *= 10;
    return v;
}

db::Value number(long long v) { return db::Value(v); }

// Scaled time of day: 3 to 5 bytes of 10^-scale seconds (scale 0 to 7).
long long timeNanos(std::string_view b, uint8_t scale) { return le(b) * pow10(9 - scale); }

// The lengths a nullable fixed-size value may have; anything else is a
// malformed message, not a value.
bool validLength(const TypeInfo& t, size_t len) {
    switch (t.type) {
    case kIntN: return len == 1 || len == 2 || len == 4 || len == 8;
    case kBitN: return len == 1;
    case kFltN:
    case kMoneyN:
    case kDateTimN: return len == 4 || len == 8;
    case kTimeN: return len == timeLength(t.scale);
    case kDateTime2N: return len == timeLength(t.scale) + 3;
    case kDateTimeOffsetN: return len == timeLength(t.scale) + 5;
    case kDecimalN:
    case kNumericN: return len == 5 || len == 9 || len == 13 || len == 17;
    case kGuid: return len == 16;
    default: return false;
    }
}

std::string readPlp(Reader& r, bool& null) {
    uint64_t total = r.u64();
    null = total == 0xFFFFFFFFFFFFFFFFull;
    std::string out;
    if (null) return out;
    for (;;) {
        uint32_t n = r.u32();
        if (n == 0) break;
        out.append(r.take(n));
    }
    return out;
}

std::string decodeChars(const TypeInfo& t, std::string_view bytes) {
    bool wideChars = t.type == kNVarChar || t.type == kNChar || t.type == kNText || t.type == kXml;
    if (wideChars) return fromUcs2(bytes);
    bool binary = t.type == kBigVarBin || t.type == kBigBinary || t.type == kImage;
    if (binary) return hex(bytes);
    return fromCp1252(bytes);
}

std::string encodeChars(const TypeInfo& t, const std::string& utf8) {
    bool wideChars = t.type == kNVarChar || t.type == kNChar || t.type == kNText || t.type == kXml;
    return wideChars ? ucs2(utf8) : toCp1252(utf8);
}

bool isChars(uint8_t type) {
    return type == kBigVarChr || type == kBigChar || type == kNVarChar || type == kNChar || type == kText ||
           type == kNText || type == kXml || type == kBigVarBin || type == kBigBinary || type == kImage;
}

bool fitsInt32(long long v) { return v >= INT32_MIN && v <= INT32_MAX; }

}  // namespace

bool TypeInfo::plp() const {
    return type == kXml || ((type == kBigVarChr || type == kNVarChar || type == kBigVarBin) && maxLen == 0xFFFF);
}

TypeInfo readTypeInfo(Reader& r) {
    TypeInfo t;
    t.type = r.u8();
    t.collation.clear();
    switch (t.type) {
    case kNull:
    case kInt1:
    case kBit:
    case kInt2:
    case kInt4:
    case kDateTim4:
    case kFlt4:
    case kMoney:
    case kDateTime:
    case kFlt8:
    case kMoney4:
    case kInt8:
    case kDateN:
        break;
    case kIntN:
    case kBitN:
    case kFltN:
    case kMoneyN:
    case kDateTimN:
    case kGuid:
        t.maxLen = r.u8();
        if (!validLength(t, t.maxLen)) throw ProtocolError("bad length in a type description");
        break;
    case kTimeN:
    case kDateTime2N:
    case kDateTimeOffsetN:
        t.scale = r.u8();
        if (t.scale > 7) throw ProtocolError("time scale above 7");
        break;
    case kDecimalN:
    case kNumericN:
        t.maxLen = r.u8();
        t.precision = r.u8();
        t.scale = r.u8();
        if (t.maxLen > 17 || t.scale > 38) throw ProtocolError("bad decimal type");
        break;
    case kBigVarChr:
    case kBigChar:
    case kNVarChar:
    case kNChar:
        t.maxLen = r.u16();
        t.collation = std::string(r.take(5));
        break;
    case kBigVarBin:
    case kBigBinary:
        t.maxLen = r.u16();
        break;
    case kText:
    case kNText:
        t.maxLen = r.u32();
        t.collation = std::string(r.take(5));
        break;
    case kImage:
        t.maxLen = r.u32();
        break;
    case kXml:
        if (r.u8() != 0) {  // a schema collection: database, owner, name
            r.bVarchar();
            r.bVarchar();
            r.usVarchar();
        }
        break;
    default: {
        char buf[64];
        std::snprintf(buf, sizeof buf, "data type 0x%02X is not supported", unsigned(t.type));
        throw ProtocolError(buf);
    }
    }
    return t;
}

void writeTypeInfo(Writer& w, const TypeInfo& t) {
    w.u8(t.type);
    switch (t.type) {
    case kIntN:
    case kBitN:
    case kFltN:
    case kMoneyN:
    case kDateTimN:
    case kGuid:
        w.u8(uint8_t(t.maxLen));
        break;
    case kTimeN:
    case kDateTime2N:
    case kDateTimeOffsetN:
        w.u8(t.scale);
        break;
    case kDecimalN:
    case kNumericN:
        w.u8(uint8_t(t.maxLen));
        w.u8(t.precision);
        w.u8(t.scale);
        break;
    case kBigVarChr:
    case kBigChar:
    case kNVarChar:
    case kNChar:
        w.u16(uint16_t(t.maxLen));
        w.bytes(t.collation.size() == 5 ? t.collation : kCollation);
        break;
    case kBigVarBin:
    case kBigBinary:
        w.u16(uint16_t(t.maxLen));
        break;
    case kXml:
        w.u8(0);
        break;
    default:
        break;
    }
}

db::Value readValue(Reader& r, const TypeInfo& t) {
    switch (t.type) {
    case kNull: return db::Value();
    case kInt1: return number(r.u8());
    case kBit: return db::Value(r.u8() != 0);
    case kInt2: return number(signedLe(r.take(2)));
    case kInt4: return number(signedLe(r.take(4)));
    case kInt8: return number(signedLe(r.take(8)));
    case kFlt4: {
        uint32_t bits = r.u32();
        float f;
        std::memcpy(&f, &bits, 4);
        return db::Value(double(f));
    }
    case kFlt8: {
        uint64_t bits = r.u64();
        double d;
        std::memcpy(&d, &bits, 8);
        return db::Value(d);
    }
    case kMoney: {
        long long hi = int32_t(r.u32());
        long long lo = r.u32();
        return db::Value(double(hi * 4294967296LL + lo) / 10000.0);
    }
    case kMoney4: return db::Value(double(int32_t(r.u32())) / 10000.0);
    case kDateTime: {
        long long days = kEpoch1900 + int32_t(r.u32());
        long long ticks = r.u32();  // 1/300 s
        return db::Value(formatStamp(checked(days, ticks * 1000000000LL / 300), true, true));
    }
    case kDateTim4: {
        long long days = kEpoch1900 + r.u16();
        long long minutes = r.u16();
        return db::Value(formatStamp(checked(days, minutes * 60000000000LL), true, true));
    }
    case kDateN: {
        uint8_t len = r.u8();
        if (len == 0) return db::Value();
        if (len != 3) throw ProtocolError("a date value of " + std::to_string(len) + " bytes");
        return db::Value(formatStamp(checked(kEpoch0001 + le(r.take(3)), 0), true, false));
    }
    default: break;
    }

    if (t.plp()) {
        bool null = false;
        std::string bytes = readPlp(r, null);
        if (null) return db::Value();
        return db::Value(decodeChars(t, bytes));
    }
    if (t.type == kText || t.type == kNText || t.type == kImage) {
        uint32_t len = r.u32();
        if (len == 0xFFFFFFFFu) return db::Value();
        return db::Value(decodeChars(t, r.take(len)));
    }
    if (isChars(t.type)) {
        uint16_t len = r.u16();
        if (len == 0xFFFF) return db::Value();
        return db::Value(decodeChars(t, r.take(len)));
    }

    uint8_t len = r.u8();
    if (len == 0) return db::Value();
    if (!validLength(t, len)) {
        char buf[80];
        std::snprintf(buf, sizeof buf, "a value of type 0x%02X with %u bytes", unsigned(t.type), unsigned(len));
        throw ProtocolError(buf);
    }
    std::string_view b = r.take(len);
    switch (t.type) {
    case kIntN:
        if (len == 1) return number(uint8_t(b[0]));
        return number(signedLe(b));
    case kBitN: return db::Value(b[0] != 0);
    case kFltN:
        if (len == 4) {
            float f;
            std::memcpy(&f, b.data(), 4);
            return db::Value(double(f));
        } else {
            double d;
            std::memcpy(&d, b.data(), 8);
            return db::Value(d);
        }
    case kMoneyN:
        if (len == 4) return db::Value(double(int32_t(le(b))) / 10000.0);
        return db::Value(double((long long)int32_t(le(b.substr(0, 4))) * 4294967296LL + le(b.substr(4, 4))) / 10000.0);
    case kDateTimN: {
        if (len == 4)
            return db::Value(formatStamp(
                checked(kEpoch1900 + le(b.substr(0, 2)), le(b.substr(2, 2)) * 60000000000LL), true, true));
        return db::Value(formatStamp(
            checked(kEpoch1900 + int32_t(le(b.substr(0, 4))), le(b.substr(4, 4)) * 1000000000LL / 300), true, true));
    }
    case kTimeN: return db::Value(formatStamp(checked(kEpoch0001, timeNanos(b, t.scale)), false, true));
    case kDateTime2N:
    case kDateTimeOffsetN: {
        size_t dateAt = timeLength(t.scale);
        long long nanos = timeNanos(b.substr(0, dateAt), t.scale);
        long long days = kEpoch0001 + le(b.substr(dateAt, 3));
        checked(days, nanos);
        if (t.type == kDateTimeOffsetN) {
            // Stored in UTC; shown in the writer's local time. Days and
            // time of day are carried separately: nanoseconds since 1970
            // overflow before year 1.
            long long offsetMin = signedLe(b.substr(dateAt + 3, 2));
            if (offsetMin < -840 || offsetMin > 840) throw ProtocolError("time zone offset out of range");
            nanos += offsetMin * 60000000000LL;
            long long carry = nanos >= 0 ? nanos / kNanosPerDay : -((-nanos + kNanosPerDay - 1) / kNanosPerDay);
            days += carry;
            nanos -= carry * kNanosPerDay;
        }
        return db::Value(formatStamp(checked(days, nanos), true, true));
    }
    case kDecimalN:
    case kNumericN: {
        bool positive = b[0] == 1;
        std::string_view mag = b.substr(1);
        if (mag.size() <= 8 && t.scale == 0) {
            unsigned long long u = (unsigned long long)le(mag);
            if (u <= (unsigned long long)INT64_MAX) return number(positive ? (long long)u : -(long long)u);
        }
        double v = 0;
        for (size_t i = mag.size(); i-- > 0;) v = v * 256.0 + uint8_t(mag[i]);
        v /= std::pow(10.0, t.scale);
        return db::Value(positive ? v : -v);
    }
    case kGuid: return db::Value(guidText(b));
    default: break;
    }
    throw ProtocolError("unreadable value");
}

namespace {

bool toInt64(const db::Value& v, long long& out) {
    try {
        if (v.isInteger()) out = std::get<long long>(v.raw());
        else if (v.isBool()) out = std::get<bool>(v.raw()) ? 1 : 0;
        else {
            double d = v.toDouble();
            if (!std::isfinite(d) || std::fabs(d) > 9.2e18) return false;
            out = std::llround(d);
        }
        return true;
    } catch (const db::Error&) {
        return false;
    }
}

bool toReal(const db::Value& v, double& out) {
    try {
        out = v.isBool() ? (std::get<bool>(v.raw()) ? 1.0 : 0.0) : v.toDouble();
        return true;
    } catch (const db::Error&) {
        return false;
    }
}

void putLe(Writer& w, long long v, size_t n) {
    for (size_t i = 0; i < n; ++i) w.u8(uint8_t((unsigned long long)v >> (8 * i)));
}

// Writes the bytes of a fixed-size value behind its length byte, or Null.
void lengthPrefixed(Writer& w, const std::string& bytes) {
    w.u8(uint8_t(bytes.size()));
    w.bytes(bytes);
}

}  // namespace

void writeValue(Writer& w, const TypeInfo& t, const db::Value& v) {
    auto nullOf = [&] {
        if (t.plp()) w.u64(0xFFFFFFFFFFFFFFFFull);
        else if (t.type == kText || t.type == kNText || t.type == kImage) w.u32(0xFFFFFFFFu);
        else if (isChars(t.type)) w.u16(0xFFFF);
        else w.u8(0);
    };
    if (v.isNull()) return nullOf();

    if (isChars(t.type)) {
        std::string s;
        try {
            s = v.toText();
        } catch (const db::Error&) {
            return nullOf();
        }
        std::string bytes = encodeChars(t, s);
        if (t.plp()) {
            w.u64(bytes.size());
            if (!bytes.empty()) {
                w.u32(uint32_t(bytes.size()));
                w.bytes(bytes);
            }
            w.u32(0);
            return;
        }
        if (t.type == kText || t.type == kNText || t.type == kImage) {
            w.u32(uint32_t(bytes.size()));
            w.bytes(bytes);
            return;
        }
        size_t limit = t.maxLen;
        if (bytes.size() > limit) bytes.resize(t.type == kNVarChar || t.type == kNChar ? limit & ~size_t(1) : limit);
        if ((t.type == kBigChar || t.type == kNChar) && bytes.size() < limit) {
            // Fixed-length types are padded with blanks.
            std::string blank = t.type == kNChar ? std::string(" \0", 2) : std::string(" ");
            while (bytes.size() + blank.size() <= limit) bytes += blank;
        }
        w.u16(uint16_t(bytes.size()));
        w.bytes(bytes);
        return;
    }

    long long i = 0;
    double d = 0;
    switch (t.type) {
    case kIntN:
        if (!toInt64(v, i)) return nullOf();
        if ((t.maxLen == 4 && !fitsInt32(i)) || (t.maxLen == 2 && (i < INT16_MIN || i > INT16_MAX)) ||
            (t.maxLen == 1 && (i < 0 || i > 255)))
            return nullOf();
        w.u8(uint8_t(t.maxLen));
        putLe(w, i, t.maxLen);
        return;
    case kBitN:
        if (!toInt64(v, i)) return nullOf();
        w.u8(1);
        w.u8(i != 0);
        return;
    case kFltN: {
        if (!toReal(v, d)) return nullOf();
        if (t.maxLen == 4) {
            float f = float(d);
            uint32_t bits;
            std::memcpy(&bits, &f, 4);
            w.u8(4);
            w.u32(bits);
        } else {
            uint64_t bits;
            std::memcpy(&bits, &d, 8);
            w.u8(8);
            w.u64(bits);
        }
        return;
    }
    case kMoneyN: {
        if (!toReal(v, d)) return nullOf();
        long long m = std::llround(d * 10000.0);
        if (t.maxLen == 4) {
            if (!fitsInt32(m)) return nullOf();
            w.u8(4);
            w.u32(uint32_t(int32_t(m)));
        } else {
            w.u8(8);
            w.u32(uint32_t((unsigned long long)m >> 32));
            w.u32(uint32_t(m & 0xFFFFFFFF));
        }
        return;
    }
    case kDecimalN:
    case kNumericN: {
        if (!toReal(v, d)) return nullOf();
        double scaled = std::round(std::fabs(d) * std::pow(10.0, t.scale));
        if (scaled >= 1.8e19) return nullOf();
        unsigned long long mag = (unsigned long long)scaled;
        std::string bytes(1, d < 0 ? '\0' : '\1');
        size_t n = t.maxLen > 1 ? t.maxLen - 1u : 4u;
        for (size_t k = 0; k < n; ++k) bytes += char(k < 8 ? (mag >> (8 * k)) & 0xFF : 0);
        return lengthPrefixed(w, bytes);
    }
    case kDateTimN:
    case kDateTime2N:
    case kDateN:
    case kTimeN:
    case kDateTimeOffsetN: {
        Stamp s;
        std::string txt;
        try {
            txt = v.toText();
        } catch (const db::Error&) {
            return nullOf();
        }
        if (!parseStamp(txt, s)) return nullOf();
        Writer b;
        if (t.type == kDateTimN) {
            long long days = s.days - kEpoch1900;
            if (t.maxLen == 4) {
                if (days < 0 || days > 65535) return nullOf();
                putLe(b, days, 2);
                putLe(b, s.nanos / 60000000000LL, 2);
            } else {
                long long ticks = (s.nanos * 300 + 500000000LL) / 1000000000LL;
                putLe(b, days, 4);
                putLe(b, ticks, 4);
            }
        } else {
            size_t timeLen = t.scale <= 2 ? 3 : t.scale <= 4 ? 4 : 5;
            if (t.type != kDateN) putLe(b, s.nanos / pow10(9 - t.scale), timeLen);
            if (t.type != kTimeN) putLe(b, s.days - kEpoch0001, 3);
            if (t.type == kDateTimeOffsetN) putLe(b, 0, 2);
        }
        return lengthPrefixed(w, b.data());
    }
    default:
        return nullOf();
    }
}

db::DataType dataTypeOf(const TypeInfo& t) {
    switch (t.type) {
    case kInt1:
    case kBit:
    case kInt2:
    case kInt4:
    case kInt8:
    case kIntN:
    case kBitN: return db::adInteger;
    case kFlt4:
    case kFlt8:
    case kFltN:
    case kMoney:
    case kMoney4:
    case kMoneyN:
    case kDecimalN:
    case kNumericN: return db::adDouble;
    case kDateTime:
    case kDateTim4:
    case kDateTimN:
    case kDateN:
    case kTimeN:
    case kDateTime2N:
    case kDateTimeOffsetN: return db::adDBTimeStamp;
    case kNVarChar:
    case kNChar:
    case kNText: return db::adVarWChar;
    case kText: return db::adLongVarChar;
    case kBigVarChr: return t.maxLen == 0xFFFF ? db::adLongVarChar : db::adVarChar;
    default: return db::adVarChar;
    }
}

long sizeOf(const TypeInfo& t, const db::Value& v) {
    switch (t.type) {
    case kBigVarChr:
    case kBigChar:
        if (t.maxLen != 0xFFFF) return long(t.maxLen);
        break;
    case kNVarChar:
    case kNChar:
        if (t.maxLen != 0xFFFF) return long(t.maxLen / 2);
        break;
    case kText:
    case kNText: break;
    default: return 0;
    }
    return v.isNull() ? 0 : text::utf8Length(v.toText());
}

TypeInfo columnType(const std::vector<std::vector<db::Value>>& rows, size_t c) {
    bool anyText = false, anyDouble = false, anyInt = false, anyBool = false, big = false;
    size_t longest = 1;
    for (const auto& row : rows) {
        if (c >= row.size()) continue;
        const db::Value& v = row[c];
        if (v.isNull()) continue;
        if (v.isText()) {
            anyText = true;
            longest = std::max(longest, text::toUtf16(std::get<std::string>(v.raw())).size());
        } else if (v.isDouble()) {
            anyDouble = true;
        } else if (v.isBool()) {
            anyBool = true;
        } else if (v.isInteger()) {
            anyInt = true;
            if (!fitsInt32(std::get<long long>(v.raw()))) big = true;
        }
    }
    TypeInfo t;
    int kinds = anyText + anyDouble + anyInt + anyBool;
    if (!anyText && kinds == 1 && anyBool) {
        t.type = kBitN;
        t.maxLen = 1;
    } else if (!anyText && !anyBool && anyDouble) {
        t.type = kFltN;
        t.maxLen = 8;
    } else if (!anyText && !anyBool && anyInt) {
        t.type = kIntN;
        t.maxLen = big ? 8 : 4;
    } else {
        // Text, a mix that only text holds, or nothing but Nulls.
        if (kinds > 1 || !anyText) {
            for (const auto& row : rows)
                if (c < row.size() && !row[c].isNull()) longest = std::max<size_t>(longest, row[c].toText().size());
        }
        t.type = kNVarChar;
        t.maxLen = longest <= 4000 ? uint32_t(longest * 2) : 0xFFFF;
    }
    return t;
}

}  // namespace dz::sim::tds
