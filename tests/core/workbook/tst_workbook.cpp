#include "tests/common/Fixtures.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using tessaly::xls::Workbook;

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
            {u"社員"_qs, {u"社員番号|氏名|FIRST_x0020_NAME|F4|備考|_x0031_st"_qs,
                          u"1|山田 太郎|Taro|x|A & B <c>|10"_qs,
                          u"2|佐藤 花子|||一行目\r二行目|"_qs,
                          u"|||||"_qs,
                          u"3|鈴木 一郎|Ichiro||3 > 2|0.1"_qs}},
            {u"Types"_qs, {u"Kind|Value"_qs,
                           u"date|2024-03-15"_qs,
                           u"datetime|2024-03-15 12:00:00"_qs,
                           u"time|18:00:00"_qs,
                           u"boolean|TRUE"_qs,
                           u"error|#N/A"_qs,
                           u"formula number|42"_qs,
                           u"formula text|abcd"_qs,
                           u"formula boolean|FALSE"_qs,
                           u"formula error|#DIV/0!"_qs,
                           u"third|0.333333333333333"_qs,
                           u"large|1e+20"_qs,
                           u"negative|-2.5"_qs,
                           u"leap day|1900-02-29"_qs, // serial 60, the day Excel invents
                           u"quoted d|1.5"_qs}},      // "days" in quotes is no date format
            {u"Hidden"_qs, {u"Key|Value"_qs, u"secret|7"_qs}},
            {u"HeaderOnly"_qs, {u"ID|名前|a_x003C_b"_qs}},
            {u"Empty"_qs, {QString()}},
        };
        // XML carries a CR in text only as a reference, which ssconvert does not write; ODF has no
        // 1900-02-29.
        if (!file.endsWith(u".xls"))
            expected[u"社員"_qs].replaceInStrings(u"\r"_qs, u"\n"_qs);
        if (file.endsWith(u".ods"))
            expected[u"Types"_qs].replaceInStrings(u"leap day|1900-02-29"_qs, u"leap day|"_qs);
        QCOMPARE(readBook(file), expected);
        QString error; // readBook sorts the sheets by name: their order is the workbook's, the hidden one kept
        QCOMPARE(Workbook::open(file, &error)->sheetNames(),
                 (QStringList{u"社員"_qs, u"Types"_qs, u"Hidden"_qs, u"HeaderOnly"_qs, u"Empty"_qs}));
    }

    void honours1904DateSystem_data()
    {
        QTest::addColumn<QString>("file");
        QTest::newRow("BIFF8") << fixture("dates1904-biff8.xls");
        QTest::newRow("BIFF5") << fixture("dates1904-biff5.xls");
    }
    void honours1904DateSystem()
    {
        QFETCH(QString, file);
        QCOMPARE(tableLines(readSheet(file, 0)).sliced(1),
                 (QStringList{u"1904-01-02"_qs, u"2024-03-15"_qs, u"2024-03-15 06:00:00"_qs}));
    }

    // The book is read into memory: its sheets still read after the file is deleted or replaced.
    void keepsWorkbookAfterFileIsGone()
    {
        const QString copy = m_dir.filePath(u"book.xls"_qs);
        QVERIFY(QFile::copy(fixture("fixtures-biff8.xls"), copy));
        QString error;
        const auto book = Workbook::open(copy, &error);
        QVERIFY(book && QFile::remove(copy));
        QCOMPARE(book->readSheet(2, &error).value().value(0, 0), u"secret");
    }

    void refusesWhatItCannotRead_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("message");
        const QString missing = fixture("no-such-book.xls");
        const QString empty = m_dir.filePath(u"empty.xls"_qs);
        QVERIFY(QFile(empty).open(QIODevice::WriteOnly));
        QTest::newRow("missing") << missing << QStringLiteral("ファイルが見つかりません: ") + missing;
        QTest::newRow("empty") << empty << QStringLiteral("ファイルが空です");
        QTest::newRow("folder") << QStringLiteral(TESSALY_TEST_DATA) << QStringLiteral("フォルダー");
        QTest::newRow("device") << QStringLiteral("/dev/zero") << QStringLiteral("通常のファイルではありません");
        QTest::newRow("no spreadsheet") << fixture("fixtures.gnumeric")
                                        << QStringLiteral("対応している形式（Excel の .xls・.xlsx・.xlsm・.xltx、OpenDocument の .ods）のブックではありません");
        QTest::newRow("Excel 4.0") << fixture("biff4-as3xls.xls")
                                   << QStringLiteral("BIFF2〜4 形式（Excel 4.0 以前）のファイルには対応していません");
        QTest::newRow("password") << fixture("password-xor-biff8.xls")
                                  << QStringLiteral("パスワードで保護されたブックは読めません");
    }
    void refusesWhatItCannotRead()
    {
        QFETCH(QString, path);
        QFETCH(QString, message);
        QString error;
        QVERIFY(!Workbook::open(path, &error));
        QVERIFY2(error.contains(message), qPrintable(error));
    }

    // Every prefix of a real workbook either opens, or fails with a message; whatever opens reads
    // without a crash. The ASan/UBSan run checks that no read strays outside the data.
    void survivesTruncation_data() { readsTheSameBookInEveryFormat_data(); }
    void survivesTruncation()
    {
        QFETCH(QString, file);
        QFile source(file);
        QVERIFY(source.open(QIODevice::ReadOnly));
        const QByteArray whole = source.readAll();
        for (qsizetype size = 0; size < whole.size(); size += 61) {
            QString error;
            const auto book = Workbook::fromBytes(whole.left(size), &error);
            if (!book) {
                QVERIFY2(error.startsWith(QStringLiteral("ファイルが")) || error.contains(QStringLiteral("ません")), qPrintable(error));
                continue;
            }
            for (qsizetype sheet = 0; sheet < book->sheetNames().size(); ++sheet) {
                const auto table = book->readSheet(sheet, &error);
                QVERIFY(table || !error.isEmpty());
            }
        }
    }

private:
    QTemporaryDir m_dir;
};

QTEST_GUILESS_MAIN(TestWorkbook)
#include "tst_workbook.moc"
