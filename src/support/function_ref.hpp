#pragma once
// A non-owning reference to a callable: what a visitor parameter takes when
// the function that calls it lives in a .cpp file (and so cannot be a
// template), without the allocation a std::function may make.

#include <type_traits>
#include <utility>

namespace veldra {

template <class Signature>
class FunctionRef;

template <class R, class... Args>
class FunctionRef<R(Args...)> {
public:
    // The callable must outlive every call through this reference.
    template <class F>
        requires(!std::is_same_v<std::remove_cvref_t<F>, FunctionRef> && std::is_invocable_r_v<R, F&, Args...>)
    FunctionRef(F&& callable) noexcept  // NOLINT: implicit, as a function parameter takes it
        : object_(const_cast<void*>(static_cast<const void*>(&callable))),
          call_([](void* object, Args... args) -> R {
              return (*static_cast<std::remove_reference_t<F>*>(object))(std::forward<Args>(args)...);
          }) {}

    R operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }

private:
    void* object_;
    R (*call_)(void*, Args...);
};

}  // namespace veldra
