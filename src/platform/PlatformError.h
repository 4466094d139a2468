#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace ostrovane::platform {

// An error reported by a platform service. Callers log two renderings of it:
// the short, human text (localizedDescription) and the full form with domain
// and code (description).
struct Error {
    std::string domain;
    std::int64_t code = 0;
    std::string message;

    const std::string& localizedDescription() const { return message; }
    std::string description() const {
        return "Error Domain=" + domain + " Code=" + std::to_string(code) + " \"" + message + "\"";
    }
    bool operator==(const Error&) const = default;
};

// The outcome of an operation that has no value: nullopt is success.
using MaybeError = std::optional<Error>;

// A value or the error that prevented it.
template <class T>
class Result {
  public:
    Result(T value) : v_(std::move(value)) {}      // NOLINT(google-explicit-constructor)
    Result(Error error) : v_(std::move(error)) {}  // NOLINT(google-explicit-constructor)

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }

    const T& value() const& { return std::get<0>(v_); }
    T& value() & { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    const T* operator->() const { return &value(); }

    const Error& error() const { return std::get<1>(v_); }

  private:
    std::variant<T, Error> v_;
};

}  // namespace ostrovane::platform
