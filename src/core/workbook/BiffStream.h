#pragma once

#include <QString>
#include <QStringDecoder>
#include <QtEndian>

#include <algorithm>
#include <bit>
#include <cstddef>
#include <span>
#include <vector>

// Reading the record stream of a BIFF5/7/8 workbook.
namespace tessaly::workbook {

using Bytes = std::span<const uchar>;

namespace RecordType {
enum : quint16 {
    Formula = 0x0006,
    Eof = 0x000A,
    DateMode = 0x0022,
    FilePass = 0x002F,
    Continue = 0x003C,
    CodePage = 0x0042,
    BoundSheet = 0x0085,
    MulRk = 0x00BD,
    RString = 0x00D6,
    Xf = 0x00E0,
    Sst = 0x00FC,
    LabelSst = 0x00FD,
    Number = 0x0203,
    Label = 0x0204,
    BoolErr = 0x0205,
    Formula3 = 0x0206,
    String = 0x0207,
    Rk = 0x027E,
    Formula4 = 0x0406,
    Format = 0x041E,
    Bof = 0x0809,
};
}

// Little-endian field readers; a field that does not fit in the record reads as 0. Inline: a large
// sheet calls them millions of times.
inline quint8 readU8(Bytes data, std::size_t at)
{
    return at < data.size() ? data[at] : 0;
}

inline quint16 readU16(Bytes data, std::size_t at)
{
    return at + 2 <= data.size() ? qFromLittleEndian<quint16>(data.data() + at) : 0;
}

inline quint32 readU32(Bytes data, std::size_t at)
{
    return at + 4 <= data.size() ? qFromLittleEndian<quint32>(data.data() + at) : 0;
}

inline double readF64(Bytes data, std::size_t at)
{
    return std::bit_cast<double>(at + 8 <= data.size() ? qFromLittleEndian<quint64>(data.data() + at) : 0);
}

// The number packed in an RK value.
inline double decodeRk(quint32 rk)
{
    const double value = (rk & 0x02) ? double(qint32(rk) >> 2) : std::bit_cast<double>(quint64(rk & 0xFFFFFFFCu) << 32);
    return (rk & 0x01) ? value / 100 : value;
}

// Asks for the bytes at address ahead of their use. Records are read one after another, each found
// through the previous one's length: without it that chain waits on memory for every line (a walk
// over a 65,536-row sheet's records took three times as long).
inline void prefetch(const uchar *address)
{
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(address);
#else
    Q_UNUSED(address);
#endif
}

struct Record {
    quint16 type = 0;
    Bytes data;
};

class RecordReader {
public:
    RecordReader(Bytes stream, std::size_t start);
    // Moves to the next record; false at the end of the stream or when a record runs past it.
    bool next(Record &record)
    {
        if (m_position + 4 > m_stream.size())
            return false;
        const std::size_t length = readU16(m_stream, m_position + 2);
        if (m_position + 4 + length > m_stream.size())
            return false;
        prefetch(m_stream.data() + std::min(m_position + 1024, m_stream.size() - 1));
        record.type = readU16(m_stream, m_position);
        record.data = m_stream.subspan(m_position + 4, length);
        m_position += 4 + length;
        return true;
    }
    bool nextIs(quint16 type) const;

private:
    Bytes m_stream;
    std::size_t m_position;
};

// A record followed by its CONTINUE records, read as one. BIFF8 repeats a string's option byte at
// the start of a CONTINUE that splits the string's characters; appendChars honours that.
class ContinuedReader {
public:
    void reset(Bytes first);
    // Adds the CONTINUE records that follow in reader.
    void appendContinues(RecordReader &reader);
    quint8 u8();
    quint16 u16();
    quint32 u32();
    void skip(std::size_t count);
    // A BIFF8 string: option byte, optional rich-text and phonetic sizes, characters, then those runs.
    void appendUnicodeString(QString &out, std::size_t length);
    bool failed() const { return m_failed; }
    // Bytes in the record and its CONTINUE records.
    std::size_t totalSize() const;

private:
    bool atSegmentEnd() const;
    // Moves to the start of the next CONTINUE record; marks the reader failed when there is none.
    bool nextSegment();
    void appendChars(QString &out, std::size_t count, bool wide);

    std::vector<Bytes> m_segments;
    std::size_t m_segment = 0;
    std::size_t m_offset = 0;
    bool m_failed = false;
};

// Decodes BIFF5 8-bit text in the workbook's code page.
class CodePageDecoder {
public:
    explicit CodePageDecoder(quint16 codePage = 1252);
    void append(QString &out, Bytes bytes);
    QString decode(Bytes bytes);

private:
    QStringDecoder m_decoder;
};

} // namespace tessaly::workbook
