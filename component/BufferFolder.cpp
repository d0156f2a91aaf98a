// The buffer folder's files: staging, names and durability.
#include "component/BufferFolder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

#include "platform/durable.h"

namespace dz::buffer {

namespace {

constexpr std::string_view kPendingTail = "_pending-XXXXXX.tmp";
constexpr size_t kNameMax = 255;  // bytes in one file name
constexpr size_t kLongestFinalTail = sizeof "_N-2147483648.xml" - 1;
static_assert(kLongestFinalTail <= kPendingTail.size());

// A short tag of a text: FNV-1a, 64 bits, in hex. Only used to tell long
// unit IDs apart in file names that also carry the test ID, so no
// cryptographic digest (and no library for one) is needed.
std::string shortDigest(std::string_view s) {
    uint64_t h = 14695981039346656037ull;
    for (unsigned char c : s) h = (h ^ c) * 1099511628211ull;
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
    return buf;
}

std::string inFolder(const std::string& folder, const std::string& unitId, std::string_view tail) {
    return folder + (folder.empty() || folder.back() == '/' ? "" : "/") + fileNamePart(unitId) + std::string(tail);
}

}  // namespace

StagedFile::~StagedFile() {
    if (!path.empty()) ::unlink(path.c_str());
    if (fd >= 0) ::close(fd);
}

// Path separators and control characters become "_", and so does a leading
// dot (no hidden files, no "." or ".." names). An ID whose pending name
// (the longer of the two) would pass the 255-byte name limit keeps its start
// (whole characters) and gets a digest of the whole ID, so names stay distinct.
std::string fileNamePart(const std::string& unitId) {
    constexpr size_t kMaxPart = kNameMax - kPendingTail.size();
    std::string r = unitId;
    for (char& c : r) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '/' || c == '\\' || u < 0x20 || u == 0x7F) c = '_';
    }
    if (!r.empty() && r[0] == '.') r[0] = '_';
    if (r.size() > kMaxPart) {
        size_t cut = kMaxPart - 17;
        while (cut > 0 && (static_cast<unsigned char>(r[cut]) & 0xC0) == 0x80) --cut;
        r = r.substr(0, cut) + "~" + shortDigest(unitId);
    }
    return r;
}

std::string finalName(const std::string& folder, const std::string& unitId, int32_t testId) {
    return inFolder(folder, unitId, "_" + std::string(testId < 0 ? "N" : "") + std::to_string(testId) + ".xml");
}

std::string stage(const std::string& folder, const std::string& unitId, std::string_view data, StagedFile& out) {
    std::string pattern = inFolder(folder, unitId, kPendingTail);
    if (pattern.find('\0') != std::string::npos) return "invalid file name";
    out.fd = ::mkostemps(pattern.data(), 4, O_CLOEXEC);
    if (out.fd < 0) return durable::errnoText(errno);
    out.path = pattern;
    ::flock(out.fd, LOCK_EX);  // best effort: some network file systems have no locks
    if (::fchmod(out.fd, 0644) != 0) return durable::errnoText(errno);
    for (std::string_view piece : {data, std::string_view("\r\n")}) {
        for (size_t done = 0; done < piece.size();) {
            const ssize_t n = ::write(out.fd, piece.data() + done, piece.size() - done);
            if (n >= 0)
                done += size_t(n);
            else if (errno != EINTR)
                return durable::errnoText(errno);
        }
    }
    if (::fsync(out.fd) != 0) return durable::errnoText(errno);
    return "";
}

}  // namespace dz::buffer
