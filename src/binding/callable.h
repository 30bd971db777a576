#pragma once
// A reference to a callable for the length of one call: what the guard and
// the released-lock runner take, so that each is compiled once, not once
// for every method body.

#include <type_traits>
#include <utility>

namespace orbisk {

template <class Signature>
class CallableRef;

template <class R, class... Args>
class CallableRef<R(Args...)> {
  public:
    /// Refers to `f`, which must outlive the reference (a lambda passed
    /// straight to the callee lives until the call returns).
    template <class F>
        requires(!std::is_same_v<std::remove_cvref_t<F>, CallableRef>)
    CallableRef(F&& f) noexcept  // implicit: a lambda converts where a callable is taken
        : object_(const_cast<void*>(static_cast<const void*>(&f))), call_(&invoke<std::remove_reference_t<F>>) {}

    R operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }

  private:
    template <class F>
    static R invoke(void* object, Args... args) {
        return (*static_cast<F*>(object))(std::forward<Args>(args)...);
    }

    void* object_;
    R (*call_)(void*, Args...);
};

}  // namespace orbisk
