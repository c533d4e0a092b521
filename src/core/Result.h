#pragma once

#include <QString>

#include <optional>
#include <utility>
#include <variant>

namespace tessaly {

// Why an operation failed: one Japanese message, ready to show to the user.
struct Failure {
    QString message;
};

// The one way core and the receiver report an outcome: the value an operation produced, or why it
// failed. `E` is `Failure` everywhere but where a failure carries more (the receiver's HTTP status).
template <typename T, typename E = Failure> class [[nodiscard]] Result {
public:
    Result(T value)
        : m_state(std::in_place_index<0>, std::move(value))
    {
    }
    Result(E failure)
        : m_state(std::in_place_index<1>, std::move(failure))
    {
    }

    bool ok() const { return m_state.index() == 0; }
    explicit operator bool() const { return ok(); }

    const T &value() const & { return std::get<0>(m_state); }
    T &value() & { return std::get<0>(m_state); }
    T &&value() && { return std::get<0>(std::move(m_state)); }
    const T &operator*() const & { return value(); }
    T &operator*() & { return value(); }
    const T *operator->() const { return &value(); }
    T *operator->() { return &value(); }

    const E &failure() const { return std::get<1>(m_state); }

private:
    std::variant<T, E> m_state;
};

// An operation that produces nothing but may fail: `{}` is success.
template <typename E> class [[nodiscard]] Result<void, E> {
public:
    Result() = default;
    Result(E failure)
        : m_failure(std::move(failure))
    {
    }

    bool ok() const { return !m_failure; }
    explicit operator bool() const { return ok(); }

    const E &failure() const { return *m_failure; }

private:
    std::optional<E> m_failure;
};

using Outcome = Result<void>;

} // namespace tessaly
