#pragma once
// The idle exit: a daemon started on demand goes away once nobody has used it for a
// while.

#include <functional>

#include <kj/async.h>
#include <kj/timer.h>

namespace ledgerwick::host {

// Resolves once `isIdle` has answered true at every check for at least `idleFor`.
// Checks every 100 ms, or every `idleFor` when that is shorter; a false answer starts
// the wait over.
kj::Promise<void> WaitUntilIdle(kj::Timer& timer, std::function<bool()> isIdle, kj::Duration idleFor);

}  // namespace ledgerwick::host
