#pragma once
// The per-thread source of SipHash keys. Every map made by this library takes
// its keys from here, so iteration order differs between maps and processes.

#include "support/siphash.hpp"

namespace veldra {

// Returns the calling thread's current key pair and advances its k0 by one
// (wrapping). The first call in a thread seeds the pair with 16 bytes from
// getrandom; if the random source fails, that call raises an internal fault.
// Thread-safe: the state is thread-local.
HashKeys next_map_keys();

}  // namespace veldra
