#pragma once
// The daemon's home folder when none is named, found the same way by the daemon and
// by the command that reads its text log back.

#include <string>

namespace ledgerwick {

// The home when none is named (--home, $LEDGERWICK_HOME): /var/lib/ledgerwick for root, else
// $XDG_STATE_HOME/ledgerwick, else ~/.local/state/ledgerwick; empty when the user has
// no home folder.
std::string DefaultHome();
// The same rule with its inputs given: whether the daemon runs as root, the value of
// XDG_STATE_HOME (may be null) and the user's home folder.
std::string DefaultHomeFor(bool root, const char* xdgStateHome, const std::string& userHome);

}  // namespace ledgerwick
