#pragma once

#include <utility>

namespace kestd {

// Runs a function when the scope ends, however it ends.
template <typename Function>
class scope_exit {
public:
    explicit scope_exit(Function f) : f(std::move(f)) {}
    ~scope_exit() { f(); }
    scope_exit(const scope_exit&) = delete;
    scope_exit& operator=(const scope_exit&) = delete;

private:
    Function f;
};

}  // namespace kestd
