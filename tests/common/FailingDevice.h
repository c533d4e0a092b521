#pragma once

#include <QIODevice>

#include <algorithm>
#include <cerrno>

// A device that takes `capacity` bytes and then refuses the rest, as a full disk does.
class FailingDevice final : public QIODevice {
public:
    explicit FailingDevice(qint64 capacity)
        : m_capacity(capacity)
    {
        open(QIODevice::WriteOnly);
    }

protected:
    qint64 readData(char *, qint64) override { return -1; }

    qint64 writeData(const char *, qint64 length) override
    {
        const qint64 taken = std::min(length, m_capacity);
        m_capacity -= taken;
        if (taken == length)
            return taken;
        setErrorString(qt_error_string(ENOSPC));
        return taken > 0 ? taken : -1;
    }

private:
    qint64 m_capacity;
};
