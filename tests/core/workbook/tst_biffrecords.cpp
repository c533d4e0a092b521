// Record shapes that real workbooks use but the fixtures may not: each workbook here is a bare BIFF
// stream built record by record, so that every byte the reader must get right is in view.
#include "tests/common/Fixtures.h"

#include <QTest>
#include <QtEndian>

using tessaly::xls::SheetTable;
using tessaly::xls::Workbook;

namespace {

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
        const QByteArray offset = u32(quint32(bytes.size()));
        bytes.replace(m_offsetAt, 4, offset);
        return *this;
    }

    static QByteArray u16(quint16 value) { return le(value); }
    static QByteArray u32(quint32 value) { return le(value); }
    // RK value: a 30-bit signed integer, shifted, with the integer flag.
    static QByteArray rkInteger(qint32 value) { return u32(quint32(value) << 2 | 2); }
    // A BIFF8 string of 8-bit characters: length, option byte, characters.
    static QByteArray text8(const QByteArray &chars) { return u16(quint16(chars.size())) + '\0' + chars; }
    static QByteArray cell(quint16 row, quint16 column, quint16 xf) { return u16(row) + u16(column) + u16(xf); }
    static QByteArray utf16(const QString &text)
    {
        return QByteArray(reinterpret_cast<const char *>(text.utf16()), text.size() * 2);
    }

    QByteArray bytes;

private:
    template <typename T>
    static QByteArray le(T value)
    {
        QByteArray out(sizeof(T), '\0');
        qToLittleEndian(value, out.data());
        return out;
    }
    qsizetype m_offsetAt = 0;
};

QStringList tableOf(const QByteArray &bytes)
{
    QString error;
    const std::unique_ptr<Workbook> book = Workbook::fromBytes(bytes, &error);
    if (!book)
        qFatal("cannot open: %s", qPrintable(error));
    const std::optional<SheetTable> table = book->readSheet(0, &error);
    if (!table)
        qFatal("cannot read: %s", qPrintable(error));
    return tableLines(*table);
}

} // namespace

class TestBiffRecords : public QObject {
    Q_OBJECT

private slots:
    void biff8CellsStringsAndContinuations()
    {
        using S = Stream;
        const QByteArray globalsBof = S::u16(0x0600) + S::u16(0x0005) + QByteArray(12, '\0');
        const QByteArray sheetBof = S::u16(0x0600) + S::u16(0x0010) + QByteArray(12, '\0');
        const QByteArray xfPadding(16, '\0');
        // Shared strings: a rich string whose run data must be skipped exactly, and one whose
        // characters go on in a CONTINUE record with an option byte that switches to 16 bits.
        const QByteArray sst = S::u32(7) + S::u32(7)
            + S::text8("A") + S::text8("B") + S::text8("C")
            + S::u16(4) + '\x08' + S::u16(2) + "Rich" + QByteArray(8, '\x01')
            + S::text8("after")
            + S::u16(5) + '\0' + "ABC";
        const QByteArray sstContinue = '\x01' + S::utf16(QStringLiteral("日本"))
            + S::text8("tail");
        const QByteArray stringResult = S::cell(3, 0, 0) + QByteArray("\0\0\0\0\0\0\xFF\xFF", 8)
            + S::u16(0) + S::u32(0) + S::u16(0);

        Stream stream;
        stream.record(0x0809, globalsBof)
            .record(0x0042, S::u16(1200))
            .record(0x00E0, S::u16(0) + S::u16(0) + xfPadding)   // xf 0: General
            .record(0x00E0, S::u16(0) + S::u16(14) + xfPadding)  // xf 1: a built-in date format
            .boundSheet(QByteArray("\x05\0Sheet", 7))
            .record(0x00FC, sst)
            .record(0x003C, sstContinue)
            .record(0x000A, {})
            .sheetStartsHere()
            .record(0x0809, sheetBof)
            .record(0x00FD, S::cell(0, 0, 0) + S::u32(0))
            .record(0x00FD, S::cell(0, 1, 0) + S::u32(1))
            .record(0x00FD, S::cell(0, 2, 0) + S::u32(2))
            // One MULRK: each cell has its own format, the last one ends the run, integers keep their sign.
            .record(0x00BD, S::u16(1) + S::u16(0) + S::u16(0) + S::rkInteger(7) + S::u16(1) + S::rkInteger(45366)
                                + S::u16(0) + S::rkInteger(-5) + S::u16(2))
            .record(0x00FD, S::cell(2, 0, 0) + S::u32(3))
            .record(0x00FD, S::cell(2, 1, 0) + S::u32(4))
            .record(0x00FD, S::cell(2, 2, 0) + S::u32(5))
            // A formula's text result, continued with 16-bit characters.
            .record(0x0006, stringResult)
            .record(0x0207, S::u16(6) + '\0' + "xyz")
            .record(0x003C, '\x01' + S::utf16(QStringLiteral("漢字語")))
            .record(0x00FD, S::cell(3, 1, 0) + S::u32(6))
            .record(0x027E, S::cell(3, 2, 0) + S::rkInteger(-123456))
            .record(0x000A, {});

        QCOMPARE(tableOf(stream.bytes), (QStringList{u"A|B|C"_qs, u"7|2024-03-15|-5"_qs, u"Rich|after|ABC日本"_qs, u"xyz漢字語|tail|-123456"_qs}));
    }

    void biff5TextInTheWorkbooksCodePage()
    {
        using S = Stream;
        const QByteArray bof5 = S::u16(0x0500) + S::u16(0x0005) + QByteArray(4, '\0');
        const QByteArray sheetBof5 = S::u16(0x0500) + S::u16(0x0010) + QByteArray(4, '\0');
        const QByteArray name = "\x96\xBC\x91\x4F"; // 名前 in Mac Japanese
        Stream stream;
        stream.record(0x0809, bof5)
            .record(0x0042, S::u16(10001))
            .boundSheet('\x04' + name)
            .record(0x000A, {})
            .sheetStartsHere()
            .record(0x0809, sheetBof5)
            .record(0x0204, S::cell(0, 0, 0) + S::u16(4) + name)
            .record(0x0204, S::cell(1, 0, 0) + S::u16(3) + "\xB1\xB2\xB3") // ｱｲｳ
            .record(0x000A, {});
        QCOMPARE(tableOf(stream.bytes), (QStringList{u"名前"_qs, u"ｱｲｳ"_qs}));
    }
};

QTEST_GUILESS_MAIN(TestBiffRecords)
#include "tst_biffrecords.moc"
