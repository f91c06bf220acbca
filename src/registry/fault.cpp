#include "fault.hpp"

#include <cstdio>

namespace veldra {

void raise_fault(std::string message, std::source_location where) {
    std::fprintf(stderr, "veldra_core: internal fault at %s:%u: %s\n", where.file_name(),
                 static_cast<unsigned>(where.line()), message.c_str());
    throw Fault(std::move(message));
}

}  // namespace veldra
