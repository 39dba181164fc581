// The one way code reports a failure: a function that can fail returns
// Expected<T> (or Status when it has no value), holding either its result or
// an Error that says what went wrong. Library code never prints a failure and
// never ends the process; start-up turns errors into the user's lines and
// exit statuses in one place (console/failure.hpp).
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace nolu::qxt {

struct Error {
    std::string message;
};

template <class T, class E = Error>
class [[nodiscard]] Expected {
public:
    Expected(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Expected(E error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() { return std::get<0>(state_); }
    const T& value() const { return std::get<0>(state_); }
    T& operator*() { return value(); }
    const T& operator*() const { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    const E& error() const { return std::get<1>(state_); }

private:
    std::variant<T, E> state_;
};

struct Done {};
using Status = Expected<Done>;

inline Status success() { return Done{}; }
inline Error fail(std::string message) { return Error{std::move(message)}; }

}  // namespace nolu::qxt
