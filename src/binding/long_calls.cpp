#include "binding/long_calls.h"

#include <exception>

namespace orbisk {

void without_lock(CallableRef<void(Released&)> body, Pass* leaving) {
    Released released{PyEval_SaveThread()};
    std::exception_ptr failure;
    try {
        body(released);
    } catch (...) {
        failure = std::current_exception();
    }
    if (leaving) leaving->end();
    PyEval_RestoreThread(released.state);
    if (failure) std::rethrow_exception(failure);
}

}  // namespace orbisk
