// A client-side record set: rows held in memory, read forward.
#include <algorithm>
#include <cmath>
#include <map>

#include "platform/db/db.h"
#include "platform/text.h"

namespace dz::db {

namespace {

const char* const kClosed = "Operation is not allowed when the object is closed.";
const char* const kNoRecord =
    "Either BOF or EOF is True, or the current record has been deleted. Requested operation requires a current record.";
const char* const kNotFound = "Item cannot be found in the collection corresponding to the requested name or ordinal.";
const char* const kBadArguments =
    "Arguments are of the wrong type, are out of acceptable range, or are in conflict with one another.";

// Sort order of field values: Null, then numbers (compared by value), then
// booleans (False before True), then texts (by bytes, so case-sensitive and
// upper case before lower case).
int rank(const Value& v) {
    if (v.isNull()) return 0;
    if (v.isInteger() || v.isDouble()) return 1;
    if (v.isBool()) return 2;
    return 3;
}

long double number(const Value& v) {
    return v.isInteger() ? (long double)std::get<long long>(v.raw()) : (long double)std::get<double>(v.raw());
}

int compareValues(const Value& a, const Value& b) {
    int ra = rank(a), rb = rank(b);
    if (ra != rb) return ra < rb ? -1 : 1;
    switch (ra) {
    case 1: {
        long double x = number(a), y = number(b);
        bool nx = std::isnan(x), ny = std::isnan(y);  // NaN before every number keeps the order total
        if (nx || ny) return nx == ny ? 0 : (nx ? -1 : 1);
        return x < y ? -1 : (y < x ? 1 : 0);
    }
    case 2: {
        bool x = std::get<bool>(a.raw()), y = std::get<bool>(b.raw());
        return x == y ? 0 : (x ? 1 : -1);
    }
    case 3: {
        int c = std::get<std::string>(a.raw()).compare(std::get<std::string>(b.raw()));
        return c < 0 ? -1 : (c > 0 ? 1 : 0);
    }
    default:
        return 0;
    }
}

}  // namespace

Recordset::Recordset(std::vector<std::string> columns, std::vector<std::vector<Value>> rows)
    : columns_(std::move(columns)), rows_(std::move(rows)), open_(true) {
    for (const auto& r : rows_)
        if (r.size() != columns_.size()) throw Error("Record set row has " + std::to_string(r.size()) +
                                                     " values for " + std::to_string(columns_.size()) + " columns.");
}

void Recordset::requireOpen() const {
    if (!open_) throw Error(kClosed);
}

bool Recordset::bof() const {
    requireOpen();
    return rows_.empty();
}

bool Recordset::eof() const {
    requireOpen();
    return pos_ >= rows_.size();
}

void Recordset::moveNext() {
    requireOpen();
    if (pos_ >= rows_.size()) throw Error(kNoRecord);
    if (failAt_ && failAt_->first == pos_ + 1) throw Error(failAt_->second);
    ++pos_;
}

size_t Recordset::fieldCount() const {
    requireOpen();
    return columns_.size();
}

size_t Recordset::index(std::string_view name) const {
    for (size_t i = 0; i < columns_.size(); ++i)
        if (text::iequals(columns_[i], name)) return i;
    throw Error(kNotFound);
}

bool Recordset::hasField(std::string_view name) const {
    requireOpen();
    for (const auto& c : columns_)
        if (text::iequals(c, name)) return true;
    return false;
}

const Value& Recordset::field(std::string_view name) const {
    requireOpen();
    size_t i = index(name);
    if (pos_ >= rows_.size()) throw Error(kNoRecord);
    return rows_[pos_][i];
}

const Value& Recordset::field(size_t i) const {
    requireOpen();
    if (i >= columns_.size()) throw Error(kNotFound);
    if (pos_ >= rows_.size()) throw Error(kNoRecord);
    return rows_[pos_][i];
}

// "Col [ASC|DESC], ..." with names matched case-insensitively (brackets
// allowed around a name). DESC reverses the whole order, so Nulls come last.
// Equal rows keep their order. The cursor returns to the first row.
void Recordset::sort(std::string_view spec) {
    requireOpen();
    struct Key {
        size_t column;
        bool descending;
    };
    std::vector<Key> keys;
    if (!text::trim(spec).empty()) {
        size_t start = 0;
        for (;;) {
            size_t comma = spec.find(',', start);
            std::string item = text::trim(spec.substr(start, comma == std::string_view::npos ? spec.npos : comma - start));
            bool desc = false;
            size_t blank = item.find_last_of(" \t");
            if (blank != std::string::npos) {
                std::string word = item.substr(blank + 1);
                if (text::iequals(word, "ASC") || text::iequals(word, "DESC")) {
                    desc = text::iequals(word, "DESC");
                    item = text::trim(item.substr(0, blank));
                }
            }
            if (item.size() >= 2 && item.front() == '[' && item.back() == ']') item = item.substr(1, item.size() - 2);
            if (item.empty()) throw Error(kBadArguments);
            keys.push_back({index(item), desc});
            if (comma == std::string_view::npos) break;
            start = comma + 1;
        }
    }
    // Rows are gathered by the first key, each gathering in arrival order, and
    // each is then sorted by the other keys unless it already is: the same
    // order as one stable sort, and linear for the usual few groups of rows
    // that arrive in the order of the later keys.
    if (keys.empty()) {
        pos_ = 0;
        return;
    }
    auto before = [&](const Value& a, const Value& b, const Key& k) {
        int c = compareValues(a, b);
        return k.descending ? c > 0 : c < 0;
    };
    auto restBefore = [&](size_t a, size_t b) {
        for (size_t i = 1; i < keys.size(); ++i) {
            int c = compareValues(rows_[a][keys[i].column], rows_[b][keys[i].column]);
            if (c != 0) return keys[i].descending ? c > 0 : c < 0;
        }
        return false;
    };
    auto firstBefore = [&](const Value* a, const Value* b) { return before(*a, *b, keys[0]); };
    std::map<const Value*, std::vector<size_t>, decltype(firstBefore)> groups(firstBefore);
    for (size_t r = 0; r < rows_.size(); ++r) groups[&rows_[r][keys[0].column]].push_back(r);
    std::vector<std::vector<Value>> sorted;
    sorted.reserve(rows_.size());
    for (auto& [key, members] : groups) {
        if (!std::is_sorted(members.begin(), members.end(), restBefore))
            std::stable_sort(members.begin(), members.end(), restBefore);
        for (size_t r : members) sorted.push_back(std::move(rows_[r]));
    }
    rows_ = std::move(sorted);
    pos_ = 0;
}

// Row 0 is fetched with the execution, so a driver fails the execution for it;
// here it never triggers. Row rows().size() fails the move onto EOF.
void Recordset::failAt(size_t row, std::string description) {
    failAt_ = std::make_pair(row, std::move(description));
}

}  // namespace dz::db
