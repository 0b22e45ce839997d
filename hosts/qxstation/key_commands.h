// key_commands.h - "qxstation key list|generate|install|use|remove|reset": the station's key ring.
//
// The ring (cluster.keys beside the registry) holds the cluster keys that this station accepts
// and the one it sends with; every station of a cluster needs the same key. A rotation is:
// generate a key once, install it on every station, use it on every station, then remove the
// old one; a running agent follows the file within a second, and since every station accepts
// every key of its ring, no station is cut off on the way. The key's bytes are printed only by
// generate (for the operator to install elsewhere) and read by install from its argument or,
// with "-", from standard input (which keeps them out of the process list and shell history).
// A ring that cannot be read as a ring (damaged, or open to others) is never overwritten: reset
// moves it aside as cluster.keys.damaged-<time> (0600) and starts a new ring with a local key;
// the other verbs refuse it and name reset.
// Returns the exit code (0 done, 1 failed, 2 wrong use); one thread.
//
//   RunKey({"use", "1a2b3c4d"}, /*json=*/false, stdin, stdout, stderr);
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace qxstation {

int RunKey(const std::vector<std::string>& words, bool json, std::FILE* in, std::FILE* out,
           std::FILE* err);

}  // namespace qxstation
