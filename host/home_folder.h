#pragma once
// The daemon's home folder: where the fault log and, unless the settings say
// otherwise, the text log are written. A daemon that cannot write there would accept
// records it may lose, so it does not start.

#include <string>

namespace ledgerwick::host {

// The home when --home is not given: /var/lib/ledgerwick for root, else
// $XDG_STATE_HOME/ledgerwick, else ~/.local/state/ledgerwick.
std::string DefaultHome();
// The same rule with its inputs given: whether the daemon runs as root, the value of
// XDG_STATE_HOME (may be null) and the user's home folder.
std::string DefaultHomeFor(bool root, const char* xdgStateHome, const std::string& userHome);

// Makes sure the daemon can write in `folder`; raises StartError naming the folder and
// the cause when not. A default home (`create`) is made when missing, mode 0700, with
// the folders above it; a folder the operator named must exist already.
void PrepareHome(const std::string& folder, bool create);

}  // namespace ledgerwick::host
