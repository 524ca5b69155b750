#pragma once

#include <string>

namespace vsc {

// The user's folders as the XDG base directories name them. A variable counts
// only when it holds an absolute path; otherwise the default under the home
// folder applies, the home folder being $HOME when that is absolute, else the
// user's entry in the password database. Empty when no home folder is known.
std::string homeDirectory();
std::string configHome();  // $XDG_CONFIG_HOME, else ~/.config
std::string dataHome();    // $XDG_DATA_HOME, else ~/.local/share
// $XDG_RUNTIME_DIR when absolute, else empty.
std::string runtimeDirectory();

}  // namespace vsc
