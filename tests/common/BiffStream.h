#pragma once

#include <QByteArray>
#include <QString>
#include <QtEndian>

// Bare BIFF streams built record by record, so that every byte the reader must get right is in view.

template <typename T> QByteArray le(T value)
{
    QByteArray out(sizeof(T), '\0');
    qToLittleEndian(value, out.data());
    return out;
}
inline QByteArray u16(quint16 value)
{
    return le(value);
}
inline QByteArray u32(quint32 value)
{
    return le(value);
}
// RK value: a 30-bit signed integer, shifted, with the integer flag.
inline QByteArray rkInteger(qint32 value)
{
    return u32(quint32(value) << 2 | 2);
}
// A BIFF8 string of 8-bit characters: length, option byte, characters.
inline QByteArray text8(const QByteArray &chars)
{
    return u16(quint16(chars.size())) + '\0' + chars;
}
inline QByteArray cell(quint16 row, quint16 column, quint16 xf)
{
    return u16(row) + u16(column) + u16(xf);
}
inline QByteArray utf16(const QString &text)
{
    return QByteArray(reinterpret_cast<const char *>(text.utf16()), text.size() * 2);
}
// BOF: version (0x0600 BIFF8, 0x0500 BIFF5), stream type (5 globals, 0x10 worksheet), build fields.
inline QByteArray bof(quint16 version, quint16 type)
{
    return u16(version) + u16(type) + QByteArray(version == 0x0600 ? 12 : 4, '\0');
}

// A BIFF stream under construction.
struct BiffStream {
    BiffStream &record(quint16 type, const QByteArray &data)
    {
        bytes += u16(type) + u16(quint16(data.size())) + data;
        return *this;
    }
    // A BOUNDSHEET whose sheet offset is filled in by sheetStartsHere().
    BiffStream &boundSheet(const QByteArray &nameData)
    {
        offsetAt = bytes.size() + 4;
        return record(0x0085, u32(0) + QByteArray("\0\0", 2) + nameData);
    }
    BiffStream &sheetStartsHere()
    {
        bytes.replace(offsetAt, 4, u32(quint32(bytes.size())));
        return *this;
    }

    QByteArray bytes;
    qsizetype offsetAt = 0;
};
