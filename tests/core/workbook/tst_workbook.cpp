// The workbook readers: the same book in every format, the hand-made .xlsx and .ods value rules, the
// books to refuse, number and date texts at their edges, and BIFF record shapes that real workbooks
// use but the fixtures may not.
#include "core/workbook/CellText.h"
#include "tests/common/BiffStream.h"
#include "tests/common/Fixtures.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace tessaly::workbook;

namespace {

// A workbook of tests/data/ooxml.
QString ooxml(const char *name)
{
    return QStringLiteral(TESSALY_TEST_DATA "/ooxml/") + QLatin1String(name);
}

// The first sheet's table, read whole or (with bandCells) in bands.
QStringList tableOf(const QByteArray &bytes, std::size_t bandCells = 0)
{
    const auto book = Workbook::fromBytes(bytes);
    if (!book)
        return {book.failure().message};
    if (bandCells > 0) {
        const auto bands = (*book)->readSheetInBands(0, bandCells);
        return bands ? bandLines(**bands) : QStringList{bands.failure().message};
    }
    const auto table = (*book)->readSheet(0);
    return table ? tableLines(*table) : QStringList{table.failure().message};
}

} // namespace

class TestWorkbook : public QObject {
    Q_OBJECT

private slots:
    // The Gnumeric-made book as BIFF8 and BIFF5 (Japanese code page); ssconvert wrote its source as
    // .xlsx and .ods too.
    void readsTheSameBookInEveryFormat_data()
    {
        QTest::addColumn<QString>("file");
        QTest::newRow("BIFF8") << fixture("fixtures-biff8.xls");
        QTest::newRow("BIFF5") << fixture("fixtures-biff5-ja.xls");
        QTest::newRow("xlsx") << fixture("fixtures.xlsx");
        QTest::newRow("ods") << fixture("fixtures.ods");
    }
    void readsTheSameBookInEveryFormat()
    {
        QFETCH(QString, file);
        QMap<QString, QStringList> expected{
            {u"社員"_qs,
             {u"社員番号|氏名|FIRST NAME||備考|1st"_qs, u"1|山田 太郎|Taro|x|A & B <c>|10"_qs,
              u"2|佐藤 花子|||一行目\r二行目|"_qs, u"|||||"_qs, u"3|鈴木 一郎|Ichiro||3 > 2|0.1"_qs}},
            {u"Types"_qs,
             {u"Kind|Value"_qs, u"date|2024-03-15"_qs, u"datetime|2024-03-15 12:00:00"_qs, u"time|18:00:00"_qs,
              u"boolean|TRUE"_qs, u"error|#N/A"_qs, u"formula number|42"_qs, u"formula text|abcd"_qs, u"formula boolean|FALSE"_qs,
              u"formula error|#DIV/0!"_qs, u"third|0.333333333333333"_qs, u"large|1e+20"_qs, u"negative|-2.5"_qs,
              u"leap day|1900-02-29"_qs, // serial 60, the day Excel invents
              u"quoted d|1.5"_qs}}, // "days" in quotes is no date format
            {u"Hidden"_qs, {u"Key|Value"_qs, u"secret|7"_qs}},
            {u"HeaderOnly"_qs, {u"ID|名前|a<b"_qs}},
            {u"Empty"_qs, {QString()}},
        };
        // XML carries a CR in text only as a reference, which ssconvert does not write; ODF has no
        // 1900-02-29.
        if (!file.endsWith(u".xls"))
            expected[u"社員"_qs].replaceInStrings(u"\r"_qs, u"\n"_qs);
        if (file.endsWith(u".ods"))
            expected[u"Types"_qs].replaceInStrings(u"leap day|1900-02-29"_qs, u"leap day|"_qs);
        QCOMPARE(readBook(file), expected);
        // Read in bands, a band ending at every row that starts (empty rows in between too).
        QCOMPARE(readBook(file, 1), expected);
        // readBook sorts the sheets by name: their order is the workbook's, the hidden one kept.
        QCOMPARE(Workbook::open(file).value()->sheetNames(),
                 (QStringList{u"社員"_qs, u"Types"_qs, u"Hidden"_qs, u"HeaderOnly"_qs, u"Empty"_qs}));
    }

    // The hand-made .xlsx and .ods books, and the 1904 date system in .xls.
    void valueRules_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("sheet");
        QTest::addColumn<QStringList>("expected");
        const QStringList dates1904{u"Day"_qs, u"1904-01-02"_qs, u"2024-03-15"_qs, u"2024-03-15 06:00:00"_qs};
        QTest::newRow("1904, BIFF8") << fixture("dates1904-biff8.xls") << u"Dates"_qs << dates1904;
        QTest::newRow("1904, BIFF5") << fixture("dates1904-biff5.xls") << u"Dates"_qs << dates1904;
        QTest::newRow("xlsx values") << ooxml("values.xlsx") << u"Values"_qs
                                     << QStringList{u"plain|inline|"_qs,
                                                    u"rich runs|inline|"_qs, // runs joined, phonetic runs left out
                                                    u"formula text|TRUE|"_qs,
                                                    u"#DIV/0!|FALSE|"_qs,
                                                    u"1.5|0.1|"_qs,
                                                    u"2024-03-01|2024-03-01 12:00:00|"_qs, // built-in and custom date formats
                                                    u"45352|1900-01-01 06:00:00|"_qs, // a quoted "d" is no date; elapsed [h] is
                                                    u"2024-03-01 12:30:01|2024-03-01|"_qs, // t="d", rounded to the second
                                                    u"line\rbreak_x0041_|23:44:52|"_qs, // _xHHHH_ escapes; _x005F_ is the underscore
                                                    u"10|11|"_qs, // cells and rows without references
                                                    u"|12|13"_qs,
                                                    u"-1e+20|1.23456789012346e+17|"_qs};
        QTest::newRow("hidden sheet") << ooxml("values.xlsx") << u"Hidden"_qs << QStringList{u"secret"_qs};
        // Chart and macro sheets are no worksheets: they are left out.
        QTest::newRow("chart sheet") << ooxml("values.xlsx") << u"Chart"_qs << QStringList();
        QTest::newRow("macro sheet") << ooxml("values.xlsx") << u"Macro"_qs << QStringList();
        QTest::newRow("1904, Strict") << ooxml("dates1904-strict.xlsx") << u"Dates"_qs
                                      << QStringList{u"00:00:00|1904-01-02 12:00:00"_qs};
        QTest::newRow("odd part names") << ooxml("odd-part-names.xlsx") << u"Odd"_qs << QStringList{u"found"_qs};
        QTest::newRow("ods values") << ooxml("values.ods") << u"Values"_qs
                                    << QStringList{u"heading|B"_qs,
                                                   u"1.5|0.25"_qs,
                                                   u"-3|TRUE"_qs,
                                                   u"2024-03-01|2024-03-01 06:00:00"_qs,
                                                   u"12:30:00|1900-01-01 12:00:00"_qs,
                                                   u"#DIV/0!|a   b\tc\nd\nsecond para"_qs, // annotation left out
                                                   u"rep|rep"_qs, // repeated cells in repeated rows
                                                   u"rep|rep"_qs,
                                                   u"merged|"_qs}; // a covered cell is empty
        QTest::newRow("ods last row") << ooxml("repeated-empty.ods") << u"LastRow"_qs << QStringList{u"1"_qs};
        QTest::newRow("ods last column") << ooxml("repeated-empty.ods") << u"LastColumn"_qs << QStringList{u"2"_qs};
    }
    void valueRules()
    {
        QFETCH(QString, file);
        QFETCH(QString, sheet);
        QFETCH(QStringList, expected);
        QCOMPARE(readBook(file).value(sheet), expected);
    }

    // The book is read into memory: its sheets still read after the file is deleted or replaced.
    void keepsWorkbookAfterFileIsGone()
    {
        const QString copy = m_dir.filePath(u"book.xls"_qs);
        QVERIFY(QFile::copy(fixture("fixtures-biff8.xls"), copy));
        const auto book = Workbook::open(copy);
        QVERIFY(book && QFile::remove(copy));
        QCOMPARE(tableLines((*book)->readSheet(2).value()), (QStringList{u"Key|Value"_qs, u"secret|7"_qs}));
    }

    // Refused books give their reason; a sheet past a bound gives it when read.
    void refusesWhatItCannotRead_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("message");
        const QString missing = fixture("no-such-book.xls");
        const QString empty = m_dir.filePath(u"empty.xls"_qs);
        QVERIFY(QFile(empty).open(QIODevice::WriteOnly));
        // Cut short, a book's container is damaged. (The fuzzer tries every other cut.)
        const QString truncated = m_dir.filePath(u"truncated.xls"_qs);
        QVERIFY(QFile::copy(fixture("fixtures-biff8.xls"), truncated) && QFile::resize(truncated, 4000));
        QTest::newRow("missing") << missing << QStringLiteral("ファイルが見つかりません: ") + missing;
        QTest::newRow("empty") << empty << QStringLiteral("ファイルが空です");
        QTest::newRow("folder") << QStringLiteral(TESSALY_TEST_DATA) << QStringLiteral("フォルダー");
        QTest::newRow("device") << QStringLiteral("/dev/zero") << QStringLiteral("通常のファイルではありません");
        QTest::newRow("no spreadsheet")
            << fixture("fixtures.gnumeric")
            << QStringLiteral(
                   "対応している形式（Excel の .xls・.xlsx・.xlsm・.xltx、OpenDocument の .ods）のブックではありません");
        QTest::newRow("Excel 4.0") << fixture("biff4-as3xls.xls")
                                   << u"BIFF2〜4 形式（Excel 4.0 以前）のファイルには対応していません"_qs;
        const QString password = u"パスワードで保護されたブックは読めません"_qs;
        QTest::newRow("password") << fixture("password-xor-biff8.xls") << password;
        QTest::newRow("encrypted ods") << ooxml("encrypted.ods") << password;
        const QString document = u"このシートの XML 文書は上限の 4 GiB を超えるため読めません"_qs;
        QTest::newRow("no workbook") << ooxml("no-workbook.xlsx") << u"ZIP ファイルですが、ブックが入っていません"_qs;
        QTest::newRow("damaged zip") << ooxml("truncated.xlsx") << u"ファイルが壊れています（ZIP"_qs;
        QTest::newRow("damaged OLE2") << truncated << u"ファイルが壊れています（OLE2 複合ファイルとして読めません"_qs;
        QTest::newRow("entity bomb") << ooxml("entity-bomb.xlsx") << u"DOCTYPE"_qs;
        QTest::newRow("1 MB string x 12,000") << ooxml("huge-shared-string.xlsx") << u"32,767 文字"_qs;
        QTest::newRow("repeats 999,999,999") << ooxml("repeat-bomb.ods") << document;
    }
    void refusesWhatItCannotRead()
    {
        QFETCH(QString, path);
        QFETCH(QString, message);
        const QMap<QString, QStringList> sheets = readBook(path);
        QCOMPARE(sheets.size(), 1);
        QVERIFY2(sheets.first().size() == 1 && sheets.first().first().contains(message), qPrintable(sheets.first().join(u'\n')));
    }

    // Number and date texts that the fixture books do not show.
    void texts_data()
    {
        QTest::addColumn<double>("value");
        QTest::addColumn<int>("dateSystem"); // 0 for a plain number
        QTest::addColumn<QString>("expected");
        QTest::newRow("tiny number") << 0.00001 << 0 << u"1e-05"_qs;
        QTest::newRow("rounds up into the next day") << 0.999999999 << 1900 << u"1900-01-01"_qs;
        QTest::newRow("past the last day") << 2958466.0 << 1900 << u"2958466"_qs;
        QTest::newRow("1904 leap day is real") << 59.0 << 1904 << u"1904-02-29"_qs;
    }
    void texts()
    {
        QFETCH(double, value);
        QFETCH(int, dateSystem);
        QFETCH(QString, expected);
        QString text;
        dateSystem == 0 ? appendNumber(text, value) : appendDateTime(text, value, dateSystem == 1904);
        QCOMPARE(text, expected);
    }

    // Number formats with a d or an h that is no date part: in a colour name, escaped as a unit ("7.5h").
    void numberFormatsAreNoDates()
    {
        for (const char16_t *code : {u"[Red]#,##0.00", u"0.0\\h"})
            QVERIFY2(!isDateFormatCode(code), qPrintable(QString::fromUtf16(code)));
    }

    void biff8CellsStringsAndContinuations()
    {
        const QByteArray xfPadding(16, '\0');
        // Shared strings: a rich string whose run data must be skipped exactly, and one whose
        // characters go on in a CONTINUE record with an option byte that switches to 16 bits.
        const QByteArray sst = u32(7) + u32(7) + text8("A") + text8("B") + text8("C") + u16(4) + '\x08' + u16(2) + "Rich"
                               + QByteArray(8, '\x01') // two runs of 4 bytes after the text
                               + text8("after") + u16(5) + '\0' + "ABC";
        const QByteArray sstContinue = '\x01' + utf16(u"日本"_qs) + text8("tail");
        BiffStream stream;
        stream.record(0x0809, bof(0x0600, 0x0005))
            .record(0x0042, u16(1200))
            .record(0x00E0, u16(0) + u16(0) + xfPadding) // xf 0: General
            .record(0x00E0, u16(0) + u16(14) + xfPadding) // xf 1: a built-in date format
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
            .record(0x00BD, u16(1) + u16(0) + u16(0) + rkInteger(7) + u16(1) + rkInteger(45366) + u16(0) + rkInteger(-5) + u16(2))
            .record(0x00FD, cell(2, 0, 0) + u32(3))
            .record(0x00FD, cell(2, 1, 0) + u32(4))
            .record(0x00FD, cell(2, 2, 0) + u32(5))
            // A formula's text result, continued with 16-bit characters.
            .record(0x0006, cell(3, 0, 0) + QByteArray("\0\0\0\0\0\0\xFF\xFF", 8) + u16(0) + u32(0) + u16(0))
            .record(0x0207, u16(6) + '\0' + "xyz")
            .record(0x003C, '\x01' + utf16(u"漢字語"_qs))
            .record(0x00FD, cell(3, 1, 0) + u32(6))
            .record(0x027E, cell(3, 2, 0) + rkInteger(-99)) // written again below: the later wins
            .record(0x027E, cell(3, 2, 0) + rkInteger(-123456))
            .record(0x000A, {});

        const QStringList table{u"A|B|C"_qs, u"7|2024-03-15|-5"_qs, u"Rich|after|ABC日本"_qs, u"xyz漢字語|tail|-123456"_qs};
        QCOMPARE(tableOf(stream.bytes), table);
        // In bands, the formula's text arriving after the band's end moves on with its cell.
        for (const std::size_t bandCells : {1, 2, 4})
            QCOMPARE(tableOf(stream.bytes, bandCells), table);
    }

    void biff5TextInTheWorkbooksCodePage()
    {
        const QByteArray name = "\x96\xBC\x91\x4F"; // 名前 in Mac Japanese
        BiffStream stream;
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

private:
    QTemporaryDir m_dir;
};

QTEST_GUILESS_MAIN(TestWorkbook)
#include "tst_workbook.moc"
