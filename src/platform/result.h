#pragma once
// Result<T, E>: a value or an error, never both. Core operations return these instead of
// throwing, so no exception crosses a module boundary. Results are [[nodiscard]] so an
// error cannot be dropped silently.

#include <cassert>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace vellum {

template <class E>
struct Err {
  E error;
};
template <class E>
Err(E) -> Err<E>;

template <class T, class E>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  template <class F>
  Result(Err<F> e) : v_(std::in_place_index<1>, std::move(e.error)) {}  // NOLINT

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & {
    assert(ok());
    return std::get<0>(v_);
  }
  const T& value() const& {
    assert(ok());
    return std::get<0>(v_);
  }
  T&& value() && {
    assert(ok());
    return std::get<0>(std::move(v_));
  }
  const E& error() const {
    assert(!ok());
    return std::get<1>(v_);
  }
  E&& take_error() {
    assert(!ok());
    return std::get<1>(std::move(v_));
  }

 private:
  std::variant<T, E> v_;
};

template <class E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  template <class F>
  Result(Err<F> e) : e_(std::move(e.error)) {}  // NOLINT

  bool ok() const { return !e_.has_value(); }
  explicit operator bool() const { return ok(); }
  const E& error() const {
    assert(!ok());
    return *e_;
  }
  E&& take_error() {
    assert(!ok());
    return std::move(*e_);
  }

 private:
  std::optional<E> e_;
};

}  // namespace vellum
