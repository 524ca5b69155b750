#pragma once

#include <optional>
#include <string>

namespace vsc {

// Copies `source` to folder/name, creating the folder (and those above it)
// as needed. The copy is written beside its place under a name no other file
// has, synced, then renamed over the old file: a copy that fails half way
// (disk full, read-only folder) leaves the old file as it was. None on
// success, else what went wrong in the system's words.
std::optional<std::string> installCopy(const std::string& source, const std::string& folder,
                                       const std::string& name, unsigned mode = 0644);

}  // namespace vsc
