#include "support/hash_keys.hpp"

#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "support/fault.hpp"

namespace veldra {
namespace {

HashKeys random_keys() {
    unsigned char bytes[16];
    std::size_t filled = 0;
    while (filled < sizeof bytes) {
        ssize_t got = getrandom(bytes + filled, sizeof bytes - filled, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            raise_fault(std::string("could not seed hash keys from getrandom: ") +
                        std::strerror(errno));
        }
        filled += static_cast<std::size_t>(got);
    }
    HashKeys keys;
    std::memcpy(&keys.k0, bytes, 8);
    std::memcpy(&keys.k1, bytes + 8, 8);
    return keys;
}

struct ThreadKeys {
    bool seeded = false;
    HashKeys keys;
};

thread_local ThreadKeys thread_keys;

}  // namespace

HashKeys next_map_keys() {
    // One thread-local address lookup per call (each access from a loaded
    // module is a call into the dynamic linker).
    ThreadKeys& mine = thread_keys;
    if (!mine.seeded) {
        mine.keys = random_keys();
        mine.seeded = true;
    }
    HashKeys taken = mine.keys;
    ++mine.keys.k0;
    return taken;
}

}  // namespace veldra
