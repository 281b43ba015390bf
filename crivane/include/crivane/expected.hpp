// A small std::expected work-alike. std::expected exists in libstdc++ 12, but
// only for compilers with C++20 concepts complete enough for it, which rules out
// clang 14 (our fuzzing compiler). Keeping one type for every compiler means the
// fuzz targets build exactly the code that ships.
#pragma once

#include <cassert>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace crivane {

template <class E>
class Unexpected {
 public:
  explicit Unexpected(E e) : error_(std::move(e)) {}
  const E& error() const& { return error_; }
  E& error() & { return error_; }
  E&& error() && { return std::move(error_); }

 private:
  E error_;
};

template <class E>
Unexpected<std::decay_t<E>> unexpected(E&& e) {
  return Unexpected<std::decay_t<E>>(std::forward<E>(e));
}

template <class T, class E>
class [[nodiscard]] Expected {
 public:
  using value_type = T;
  using error_type = E;

  Expected() requires std::is_default_constructible_v<T> : v_(std::in_place_index<0>) {}
  template <class U = T>
  requires(std::is_constructible_v<T, U&&> && !std::is_same_v<std::remove_cvref_t<U>, Expected> &&
           !std::is_same_v<std::remove_cvref_t<U>, std::in_place_t>) Expected(U&& v)
      : v_(std::in_place_index<0>, std::forward<U>(v)) {}
  template <class G>
  requires std::is_constructible_v<E, G> Expected(Unexpected<G> u)
      : v_(std::in_place_index<1>, std::move(u).error()) {}
  template <class... Args>
  explicit Expected(std::in_place_t, Args&&... args)
      : v_(std::in_place_index<0>, std::forward<Args>(args)...) {}

  bool has_value() const { return v_.index() == 0; }
  explicit operator bool() const { return has_value(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  E& error() & { return std::get<1>(v_); }
  const E& error() const& { return std::get<1>(v_); }
  E&& error() && { return std::get<1>(std::move(v_)); }

  template <class U>
  T value_or(U&& other) const& {
    return has_value() ? value() : static_cast<T>(std::forward<U>(other));
  }

 private:
  std::variant<T, E> v_;
};

template <class E>
class [[nodiscard]] Expected<void, E> {
 public:
  using value_type = void;
  using error_type = E;

  Expected() = default;
  template <class G>
  requires std::is_constructible_v<E, G> Expected(Unexpected<G> u)
      : error_(std::in_place, std::move(u).error()) {}

  bool has_value() const { return !error_.has_value(); }
  explicit operator bool() const { return has_value(); }
  void value() const { assert(has_value()); }

  E& error() & { return *error_; }
  const E& error() const& { return *error_; }
  E&& error() && { return std::move(*error_); }

 private:
  std::optional<E> error_;
};

}  // namespace crivane

#define CRIVANE_CONCAT_INNER(a, b) a##b
#define CRIVANE_CONCAT(a, b) CRIVANE_CONCAT_INNER(a, b)

// Returns the error of `expr` (an Expected) from the enclosing function.
#define CRIVANE_TRY(expr)                                                   \
  do {                                                                      \
    auto&& crivane_try_result_ = (expr);                                    \
    if (!crivane_try_result_.has_value())                                   \
      return ::crivane::unexpected(std::move(crivane_try_result_).error()); \
  } while (0)

// `lhs = *expr`, or returns the error of `expr` from the enclosing function.
#define CRIVANE_ASSIGN_OR_RETURN(lhs, expr) \
  CRIVANE_ASSIGN_OR_RETURN_IMPL(CRIVANE_CONCAT(crivane_aor_, __LINE__), lhs, expr)
#define CRIVANE_ASSIGN_OR_RETURN_IMPL(tmp, lhs, expr)                         \
  auto tmp = (expr);                                                          \
  if (!tmp.has_value()) return ::crivane::unexpected(std::move(tmp).error()); \
  lhs = std::move(tmp).value()
