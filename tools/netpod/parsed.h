// The result of parsing one piece of user input: a value, or the reason why the
// input was refused, worded for the person who typed it.
#pragma once

#include <optional>
#include <string>
#include <utility>

namespace netpod::tool {

template <class T>
class Parsed {
public:
    Parsed(T value) : value_(std::move(value)) {}   // NOLINT: implicit on purpose
    static Parsed Error(std::string reason) {
        Parsed p;
        p.error_ = std::move(reason);
        return p;
    }

    explicit operator bool() const { return value_.has_value(); }
    const T& operator*() const { return *value_; }
    T& operator*() { return *value_; }
    const T* operator->() const { return &*value_; }
    const std::string& error() const { return error_; }

private:
    Parsed() = default;
    std::optional<T> value_;
    std::string error_;
};

}  // namespace netpod::tool
