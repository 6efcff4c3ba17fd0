#pragma once

#include <QString>

#include <utility>
#include <variant>

// Why a store call failed: the database's own words, for the log.
struct StoreFailure
{
    QString error;
};

// What every call of the store gives back: its value, or a failure. One type for all of them,
// so a caller checks failure one way: `if (!r) ... r.error()`, else `*r`.
template <typename T = std::monostate> class StoreResult
{
public:
    StoreResult() = default;
    StoreResult(T value) : m_value(std::move(value)) {}
    StoreResult(StoreFailure failure)
        : m_error(failure.error.isEmpty() ? QStringLiteral("the database failed") : failure.error),
          m_failed(true)
    {}

    bool ok() const { return !m_failed; }
    explicit operator bool() const { return ok(); }
    const T &value() const { return m_value; }
    const T &operator*() const { return m_value; }
    const T *operator->() const { return &m_value; }
    QString error() const { return m_error; }

private:
    T m_value{};
    QString m_error;
    bool m_failed = false;
};
