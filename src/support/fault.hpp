#pragma once
// Internal faults: broken assumptions inside the library. They are thrown as
// `Fault` and caught only at the Python boundary, which raises them as the
// module's internal-fault exception (the core's PanicException, the
// catalogue module's SystemError). Expected failures travel as error values.

#include <exception>
#include <string>

namespace veldra {

class Fault : public std::exception {
public:
    explicit Fault(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

// Where a fault was raised. (std::source_location needs a compiler builtin
// that not every supported compiler has; these two builtins it does.)
struct SourcePosition {
    const char* file;
    unsigned line;

    static SourcePosition current(const char* file = __builtin_FILE(), unsigned line = __builtin_LINE()) noexcept {
        return {file, line};
    }
};

// Reports the fault and where it happened on standard error, then throws it.
[[noreturn]] void raise_fault(std::string message, SourcePosition where = SourcePosition::current());

}  // namespace veldra
