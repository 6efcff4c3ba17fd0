#pragma once

#include <QSqlDatabase>

#include <utility>

// A transaction that rolls back unless committed.
class StoreTransaction
{
public:
    explicit StoreTransaction(QSqlDatabase db) : m_db(std::move(db))
    {
        m_open = m_db.transaction();
    }
    ~StoreTransaction()
    {
        if (m_open)
            m_db.rollback();
    }
    StoreTransaction(const StoreTransaction &) = delete;
    StoreTransaction &operator=(const StoreTransaction &) = delete;

    bool isOpen() const { return m_open; }
    bool commit()
    {
        m_open = false;
        return m_db.commit();
    }

private:
    QSqlDatabase m_db;
    bool m_open = false;
};
