#pragma once
// A value or an error value: the return shape of every native operation that
// can fail in an expected way. (std::expected arrives only with C++23.)

#include <type_traits>
#include <utility>
#include <variant>

namespace veldra {

template <class E>
struct Unexpected {
    E error;
};

template <class E>
Unexpected<std::decay_t<E>> unexpected(E&& error) {
    return {std::forward<E>(error)};
}

template <class T, class E>
class Expected {
public:
    Expected(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Expected(Unexpected<E> failure) : state_(std::in_place_index<1>, std::move(failure.error)) {}

    bool has_value() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return has_value(); }

    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    T* operator->() { return &std::get<0>(state_); }
    const T* operator->() const { return &std::get<0>(state_); }
    T& operator*() & { return std::get<0>(state_); }
    const T& operator*() const& { return std::get<0>(state_); }

    E& error() & { return std::get<1>(state_); }
    const E& error() const& { return std::get<1>(state_); }
    E&& error() && { return std::get<1>(std::move(state_)); }

private:
    std::variant<T, E> state_;
};

}  // namespace veldra

// One line per fallible step, for functions that return an Expected (or a
// type an Unexpected converts to): VELDRA_TRY(auto row, find_row(name));
// declares `row` from the step's value, or returns the step's error
// unchanged. VELDRA_CHECK(step) does the same for a step whose value is
// not needed.
#define VELDRA_TRY(declaration, expression) \
    VELDRA_TRY_WITH_(VELDRA_TRY_NAME_(veldra_step_, __LINE__), declaration, expression)
#define VELDRA_CHECK(expression)                                                        \
    do {                                                                                \
        if (auto veldra_checked_ = (expression); !veldra_checked_) {                    \
            return ::veldra::unexpected(std::move(veldra_checked_).error());            \
        }                                                                               \
    } while (false)

#define VELDRA_TRY_NAME_INNER_(prefix, line) prefix##line
#define VELDRA_TRY_NAME_(prefix, line) VELDRA_TRY_NAME_INNER_(prefix, line)
#define VELDRA_TRY_WITH_(step, declaration, expression)              \
    auto step = (expression);                                          \
    if (!step) return ::veldra::unexpected(std::move(step).error());  \
    declaration = std::move(step).value()
