// The INI reader behind GetProfileItem.
#pragma once

#include <string>
#include <string_view>

namespace dz::profile {

// Folder in which a file name without a folder is looked up ("/etc"),
// as the system's own folder; never the current directory.
std::string systemFolder();

// Reads one value: the value of `key` in `section` of `file`, or `def` when
// the key, the section or the file is missing (an unreadable file counts as
// missing). A key present with an empty value gives "". Names match without
// regard to case, blanks around names and values are ignored, one pair of
// enclosing quotation marks is removed, and at most 2047 characters come back.
// A line that is not valid UTF-8 is read as Windows-1252 and comes back as UTF-8.
std::string getString(std::string_view section, std::string_view key, std::string_view def,
                      std::string_view file);

// One INI file read once: getString answers every key from that reading,
// exactly as the free function would have answered from the file.
class File {
public:
    explicit File(std::string_view file);  // reads it now; a missing file answers every default
    std::string getString(std::string_view section, std::string_view key, std::string_view def) const;

private:
    bool found_ = false;
    std::string content_;
};

}  // namespace dz::profile
