// The buffer folder's files: a passed result's full text, staged under a
// pending name before its header is stored and then renamed to
// "<unit ID>_<test ID>.xml".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace dz::buffer {

// A file staged under a pending name. It stays open and locked (flock) while
// the object lives, and is removed with the object unless `path` was cleared
// (the file was handed on).
struct StagedFile {
    std::string path;
    int fd = -1;
    StagedFile() = default;
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;
    ~StagedFile();
};

// Writes `data` and a line end to a new pending file of the unit in `folder`
// and flushes it to the disk. "" on success, else why not.
std::string stage(const std::string& folder, const std::string& unitId, std::string_view data, StagedFile& out);

// The final name of a unit's result: a negative test ID is written "N-5".
std::string finalName(const std::string& folder, const std::string& unitId, int32_t testId);

// The unit ID as part of one file name (see the .cpp); public for tests.
std::string fileNamePart(const std::string& unitId);

}  // namespace dz::buffer
