#pragma once

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

// A fresh temporary folder made the working directory for the life of the object, since the
// program reads and writes XMLConfig.xml in the working directory.
class TempWorkDir {
public:
    TempWorkDir()
        : m_previous(QDir::currentPath())
    {
        QDir::setCurrent(m_dir.path());
    }
    ~TempWorkDir() { QDir::setCurrent(m_previous); }

    QString path() const { return m_dir.path(); }
    QString filePath(const QString &name) const { return m_dir.filePath(name); }

    void write(const QString &name, const QByteArray &bytes) const
    {
        QFile file(filePath(name));
        if (file.open(QIODevice::WriteOnly))
            file.write(bytes);
    }

    QByteArray read(const QString &name) const
    {
        QFile file(filePath(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private:
    QTemporaryDir m_dir;
    QString m_previous;
};
