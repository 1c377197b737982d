#include "nonce_cache/random_key.hpp"

#include <sys/random.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>

#include "platform/fatal_error.hpp"

namespace veltrix {

SipHashKey random_siphash_key() noexcept {
    // Uniform random bits make a uniform key whatever their byte order, so they
    // go straight into the key's storage.
    SipHashKey key;
    auto* const destination = reinterpret_cast<unsigned char*>(&key);
    std::size_t filled = 0;
    while (filled < sizeof key) {
        const ssize_t got = getrandom(destination + filled, sizeof key - filled, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            die(std::string("cannot read the random source: ") + std::strerror(errno));
        }
        filled += static_cast<std::size_t>(got);
    }
    return key;
}

}  // namespace veltrix
