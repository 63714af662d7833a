@0xd6942b94c4dd3fc2;
# The smallest interface there is, for the bare cost of one Cap'n Proto call over a
# Unix socket: ledgerwick-bench measures it next to Loggit on the same machine.

interface Echo {
  ping @0 () -> ();
}
