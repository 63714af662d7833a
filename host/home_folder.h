#pragma once
// The daemon's home folder: where the fault log and, unless the settings say
// otherwise, the text log are written. A daemon that cannot write there would accept
// records it may lose, so it does not start.

#include <string>

#include "remoting/default_home.h"

namespace ledgerwick::host {

// Makes sure the daemon can write in `folder`; raises StartError naming the folder and
// the cause when not. A default home (`create`) is made when missing, mode 0700, with
// the folders above it; a folder the operator named must exist already.
void PrepareHome(const std::string& folder, bool create);

}  // namespace ledgerwick::host
