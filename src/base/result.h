#pragma once

// Failures as values: an error with the text users see, and a result that
// holds a value or an error. Used everywhere; no exceptions cross modules.

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace burrowlink {

// What went wrong, where callers need to tell cases apart.
enum class ErrorKind {
  other,
  os,              // an operating-system error; `os_code` holds its number
  timed_out,       // a socket time-out or the connect limit
  unexpected_eof,  // a stream ended before the bytes it owed
  already_exists,
  not_found,
  not_a_folder,  // something other than a real folder (a link, a file)
  invalid_data,
  // The peer was authenticated and refused: its key is not the pinned one,
  // or the users did not confirm their code.
  refused,
};

// One finished message with its context; `message` is what users see.
struct Error {
  std::string message;
  ErrorKind kind = ErrorKind::other;
  int os_code = 0;
};

// A value or an error, like std::expected.
template <typename T, typename E = Error>
class [[nodiscard]] Result {
 public:
  Result(T value) : m_v(std::in_place_index<0>, std::move(value)) {}
  Result(E error) : m_v(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return m_v.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(m_v); }
  const T& value() const& { return std::get<0>(m_v); }
  T&& value() && { return std::get<0>(std::move(m_v)); }
  const E& error() const& { return std::get<1>(m_v); }
  E&& error() && { return std::get<1>(std::move(m_v)); }

  T value_or(T fallback) const& { return ok() ? value() : fallback; }

  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

 private:
  std::variant<T, E> m_v;
};

// Success without a value, or an error.
template <typename E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  Result(E error) : m_error(std::move(error)) {}

  bool ok() const { return !m_error.has_value(); }
  explicit operator bool() const { return ok(); }
  const E& error() const& { return *m_error; }
  E&& error() && { return std::move(*m_error); }

 private:
  std::optional<E> m_error;
};

using Status = Result<void>;

// Returns the error of `expr`, any Result, from the function it is in.
#define RETURN_IF_ERROR(expr)                                     \
  do {                                                            \
    if (auto&& return_if_error_ = (expr); !return_if_error_.ok()) \
      return std::move(return_if_error_).error();                 \
  } while (0)

}  // namespace burrowlink
