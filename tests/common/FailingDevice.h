#pragma once

#include <QByteArray>
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

    const QByteArray &written() const { return m_written; }

protected:
    qint64 readData(char *, qint64) override { return -1; }

    qint64 writeData(const char *data, qint64 length) override
    {
        const qint64 taken = std::min(length, m_capacity - m_written.size());
        if (taken < length)
            setErrorString(qt_error_string(ENOSPC));
        if (taken <= 0)
            return -1;
        m_written.append(data, taken);
        return taken;
    }

private:
    qint64 m_capacity;
    QByteArray m_written;
};
