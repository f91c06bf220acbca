#include "support/fault.hpp"

#include <cstdio>

namespace veldra {

void raise_fault(std::string message, SourcePosition where) {
    std::fprintf(stderr, "veldra_core: internal fault at %s:%u: %s\n", where.file, where.line, message.c_str());
    throw Fault(std::move(message));
}

}  // namespace veldra
