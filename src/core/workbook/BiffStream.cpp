#include "core/workbook/BiffStream.h"

#include <algorithm>

namespace tessaly::workbook {

RecordReader::RecordReader(Bytes stream, std::size_t start)
    : m_stream(stream)
    , m_position(start)
{
}

bool RecordReader::nextIs(quint16 type) const
{
    return m_position + 4 <= m_stream.size() && readU16(m_stream, m_position) == type;
}

void ContinuedReader::reset(Bytes first)
{
    m_segments.assign(1, first);
    m_segment = 0;
    m_offset = 0;
    m_failed = false;
}

void ContinuedReader::appendContinues(RecordReader &reader)
{
    Record record;
    while (reader.nextIs(RecordType::Continue) && reader.next(record))
        m_segments.push_back(record.data);
}

std::size_t ContinuedReader::totalSize() const
{
    std::size_t total = 0;
    for (const Bytes segment : m_segments)
        total += segment.size();
    return total;
}

bool ContinuedReader::atSegmentEnd() const
{
    return m_segment >= m_segments.size() || m_offset >= m_segments[m_segment].size();
}

bool ContinuedReader::nextSegment()
{
    if (m_segment + 1 >= m_segments.size()) {
        m_failed = true;
        return false;
    }
    ++m_segment;
    m_offset = 0;
    return true;
}

quint8 ContinuedReader::u8()
{
    while (m_segment < m_segments.size() && m_offset >= m_segments[m_segment].size()) {
        ++m_segment;
        m_offset = 0;
    }
    if (m_segment >= m_segments.size()) {
        m_failed = true;
        return 0;
    }
    return m_segments[m_segment][m_offset++];
}

quint16 ContinuedReader::u16()
{
    const quint16 low = u8();
    return quint16(low | u8() << 8);
}

quint32 ContinuedReader::u32()
{
    const quint32 low = u16();
    return low | quint32(u16()) << 16;
}

void ContinuedReader::skip(std::size_t count)
{
    while (count > 0 && !m_failed) {
        if (atSegmentEnd()) {
            if (!nextSegment())
                return;
            continue;
        }
        const std::size_t step = std::min(count, m_segments[m_segment].size() - m_offset);
        m_offset += step;
        count -= step;
    }
}

void ContinuedReader::appendChars(QString &out, std::size_t count, bool wide)
{
    while (count > 0 && !m_failed) {
        if (atSegmentEnd()) {
            if (!nextSegment())
                return;
            wide = u8() & 0x01;
            continue;
        }
        const Bytes segment = m_segments[m_segment];
        const std::size_t available = (segment.size() - m_offset) / (wide ? 2 : 1);
        const std::size_t take = std::min(count, available);
        if (take == 0) { // half a UTF-16 character before a record boundary
            m_failed = true;
            return;
        }
        const qsizetype start = out.size();
        out.resize(start + qsizetype(take));
        char16_t *target = reinterpret_cast<char16_t *>(out.data()) + start;
        const uchar *source = segment.data() + m_offset;
        if (wide) {
            for (std::size_t i = 0; i < take; ++i)
                target[i] = char16_t(source[2 * i] | source[2 * i + 1] << 8);
        } else {
            std::copy(source, source + take, target);
        }
        m_offset += take * (wide ? 2 : 1);
        count -= take;
    }
}

void ContinuedReader::appendUnicodeString(QString &out, std::size_t length)
{
    const quint8 options = u8();
    const std::size_t richRuns = (options & 0x08) ? u16() : 0;
    const std::size_t phoneticSize = (options & 0x04) ? u32() : 0;
    appendChars(out, length, options & 0x01);
    skip(richRuns * 4);
    skip(phoneticSize);
}

namespace {

QStringDecoder decoderFor(quint16 codePage)
{
    constexpr auto stateless = QStringConverter::Flag::Stateless;
    switch (codePage) {
    case 1200:
    case 21010: // written by some Excel versions for what is really UTF-16
        return QStringDecoder(QStringConverter::Utf16LE, stateless);
    case 367:
        return QStringDecoder("US-ASCII", stateless);
    case 932:
    case 10001: // Mac Japanese: Shift_JIS for everything Excel writes
        return QStringDecoder("Shift_JIS", stateless);
    case 32768:
        return QStringDecoder("macintosh", stateless);
    case 32769:
        return QStringDecoder("windows-1252", stateless);
    default:
        break;
    }
    for (const char *pattern : {"windows-%1", "cp%1", "ibm-%1"}) {
        QStringDecoder decoder(QString::fromLatin1(pattern).arg(codePage).toLatin1().constData(), stateless);
        if (decoder.isValid())
            return decoder;
    }
    return QStringDecoder("windows-1252", stateless);
}

} // namespace

CodePageDecoder::CodePageDecoder(quint16 codePage)
    : m_decoder(decoderFor(codePage))
{
}

void CodePageDecoder::append(QString &out, Bytes bytes)
{
    const QByteArrayView view(bytes.data(), qsizetype(bytes.size()));
    const qsizetype start = out.size();
    out.resize(start + m_decoder.requiredSpace(view.size()));
    const QChar *end = m_decoder.appendToBuffer(out.data() + start, view);
    out.resize(end - out.constData());
}

QString CodePageDecoder::decode(Bytes bytes)
{
    QString text;
    append(text, bytes);
    return text;
}

} // namespace tessaly::workbook
