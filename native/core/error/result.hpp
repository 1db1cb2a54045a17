// Result<T>: a value or one Error. Result<void> (alias Status) carries only
// the error. Move-only values are supported.
#pragma once

#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include "error/error.hpp"

namespace qv {

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}           // NOLINT
    Result(Error error) : v_(std::in_place_index<1>, error) {}                   // NOLINT
    Result(ErrorKind kind) : v_(std::in_place_index<1>, Error(kind)) {}          // NOLINT

    bool ok() const noexcept { return v_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    T& value() & { check(); return std::get<0>(v_); }
    const T& value() const& { check(); return std::get<0>(v_); }
    T&& value() && { check(); return std::get<0>(std::move(v_)); }
    T& operator*() & { return value(); }
    T* operator->() { return &value(); }

    const Error& error() const {
        if (ok()) fault("result holds a value, not an error");
        return std::get<1>(v_);
    }

private:
    void check() const {
        if (!ok()) fault("result holds an error, not a value");
    }
    std::variant<T, Error> v_;
};

template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Error error) : e_(error) {}           // NOLINT
    Result(ErrorKind kind) : e_(Error(kind)) {}  // NOLINT

    bool ok() const noexcept { return !e_.has_value(); }
    explicit operator bool() const noexcept { return ok(); }
    const Error& error() const {
        if (ok()) fault("status holds no error");
        return *e_;
    }

private:
    std::optional<Error> e_;
};

using Status = Result<void>;

}  // namespace qv

// Propagate the error of a Result/Status expression; on success, yields nothing.
#define QV_CHECK(expr)                                  \
    do {                                                \
        auto&& qv_check_result_ = (expr);               \
        if (!qv_check_result_.ok()) return qv_check_result_.error(); \
    } while (0)

// Binds `var` to the value of a Result expression, or returns its error.
#define QV_CONCAT_INNER_(a, b) a##b
#define QV_CONCAT_(a, b) QV_CONCAT_INNER_(a, b)
#define QV_ASSIGN(var, expr) QV_ASSIGN_IMPL_(QV_CONCAT_(qv_assign_tmp_, __LINE__), var, expr)
#define QV_ASSIGN_IMPL_(tmp, var, expr)             \
    auto tmp = (expr);                              \
    if (!tmp.ok()) return tmp.error();              \
    var = std::move(tmp).value()
