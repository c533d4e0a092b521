// Record shapes that real workbooks use but the fixtures may not: each workbook here is a bare BIFF
// stream built record by record, so that every byte the reader must get right is in view.
#include "tests/common/Fixtures.h"

#include <QTest>
#include <QtEndian>

using tessaly::xls::SheetTable;
using tessaly::xls::Workbook;

namespace {

template <typename T>
QByteArray le(T value)
{
    QByteArray out(sizeof(T), '\0');
    qToLittleEndian(value, out.data());
    return out;
}
QByteArray u16(quint16 value) { return le(value); }
QByteArray u32(quint32 value) { return le(value); }
// RK value: a 30-bit signed integer, shifted, with the integer flag.
QByteArray rkInteger(qint32 value) { return u32(quint32(value) << 2 | 2); }
// A BIFF8 string of 8-bit characters: length, option byte, characters.
QByteArray text8(const QByteArray &chars) { return u16(quint16(chars.size())) + '\0' + chars; }
QByteArray cell(quint16 row, quint16 column, quint16 xf) { return u16(row) + u16(column) + u16(xf); }
QByteArray utf16(const QString &text)
{
    return QByteArray(reinterpret_cast<const char *>(text.utf16()), text.size() * 2);
}
// BOF: version (0x0600 BIFF8, 0x0500 BIFF5), stream type (5 globals, 0x10 worksheet), build fields.
QByteArray bof(quint16 version, quint16 type)
{
    return u16(version) + u16(type) + QByteArray(version == 0x0600 ? 12 : 4, '\0');
}

// A BIFF stream under construction.
class Stream {
public:
    Stream &record(quint16 type, const QByteArray &data)
    {
        bytes += u16(type) + u16(quint16(data.size())) + data;
        return *this;
    }
    // A BOUNDSHEET whose sheet offset is filled in by sheetStartsHere().
    Stream &boundSheet(const QByteArray &nameData)
    {
        m_offsetAt = bytes.size() + 4;
        return record(0x0085, u32(0) + QByteArray("\0\0", 2) + nameData);
    }
    Stream &sheetStartsHere()
    {
        bytes.replace(m_offsetAt, 4, u32(quint32(bytes.size())));
        return *this;
    }

    QByteArray bytes;

private:
    qsizetype m_offsetAt = 0;
};

QStringList tableOf(const QByteArray &bytes)
{
    QString error;
    const std::unique_ptr<Workbook> book = Workbook::fromBytes(bytes, &error);
    const std::optional<SheetTable> table = book ? book->readSheet(0, &error) : std::nullopt;
    return table ? tableLines(*table) : QStringList{error};
}

} // namespace

class TestBiffRecords : public QObject {
    Q_OBJECT

private slots:
    void biff8CellsStringsAndContinuations()
    {
        const QByteArray xfPadding(16, '\0');
        // Shared strings: a rich string whose run data must be skipped exactly, and one whose
        // characters go on in a CONTINUE record with an option byte that switches to 16 bits.
        const QByteArray sst = u32(7) + u32(7) + text8("A") + text8("B") + text8("C")
            + u16(4) + '\x08' + u16(2) + "Rich" + QByteArray(8, '\x01') // two runs of 4 bytes after the text
            + text8("after") + u16(5) + '\0' + "ABC";
        const QByteArray sstContinue = '\x01' + utf16(u"日本"_qs) + text8("tail");
        Stream stream;
        stream.record(0x0809, bof(0x0600, 0x0005))
            .record(0x0042, u16(1200))
            .record(0x00E0, u16(0) + u16(0) + xfPadding)   // xf 0: General
            .record(0x00E0, u16(0) + u16(14) + xfPadding)  // xf 1: a built-in date format
            .boundSheet(QByteArray("\x05\0Sheet", 7))
            .record(0x00FC, sst)
            .record(0x003C, sstContinue)
            .record(0x000A, {})
            .sheetStartsHere()
            .record(0x0809, bof(0x0600, 0x0010))
            .record(0x00FD, cell(0, 0, 0) + u32(0))
            .record(0x00FD, cell(0, 1, 0) + u32(1))
            .record(0x00FD, cell(0, 2, 0) + u32(2))
            // One MULRK: each cell has its own format, the last one ends the run, integers keep their sign.
            .record(0x00BD, u16(1) + u16(0) + u16(0) + rkInteger(7) + u16(1) + rkInteger(45366)
                                + u16(0) + rkInteger(-5) + u16(2))
            .record(0x00FD, cell(2, 0, 0) + u32(3))
            .record(0x00FD, cell(2, 1, 0) + u32(4))
            .record(0x00FD, cell(2, 2, 0) + u32(5))
            // A formula's text result, continued with 16-bit characters.
            .record(0x0006, cell(3, 0, 0) + QByteArray("\0\0\0\0\0\0\xFF\xFF", 8) + u16(0) + u32(0) + u16(0))
            .record(0x0207, u16(6) + '\0' + "xyz")
            .record(0x003C, '\x01' + utf16(u"漢字語"_qs))
            .record(0x00FD, cell(3, 1, 0) + u32(6))
            .record(0x027E, cell(3, 2, 0) + rkInteger(-123456))
            .record(0x000A, {});

        QCOMPARE(tableOf(stream.bytes),
                 (QStringList{u"A|B|C"_qs, u"7|2024-03-15|-5"_qs, u"Rich|after|ABC日本"_qs,
                              u"xyz漢字語|tail|-123456"_qs}));
    }

    void biff5TextInTheWorkbooksCodePage()
    {
        const QByteArray name = "\x96\xBC\x91\x4F"; // 名前 in Mac Japanese
        Stream stream;
        stream.record(0x0809, bof(0x0500, 0x0005))
            .record(0x0042, u16(10001))
            .boundSheet('\x04' + name)
            .record(0x000A, {})
            .sheetStartsHere()
            .record(0x0809, bof(0x0500, 0x0010))
            .record(0x0204, cell(0, 0, 0) + u16(4) + name)
            .record(0x0204, cell(1, 0, 0) + u16(3) + "\xB1\xB2\xB3") // ｱｲｳ
            .record(0x000A, {});
        QCOMPARE(tableOf(stream.bytes), (QStringList{u"名前"_qs, u"ｱｲｳ"_qs}));
    }
};

QTEST_GUILESS_MAIN(TestBiffRecords)
#include "tst_biffrecords.moc"
