#include "core/workbook/Workbook.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using tessaly::xls::SheetTable;
using tessaly::xls::Workbook;

namespace {

QString fixture(const QString &name)
{
    return QStringLiteral(TESSALY_TEST_DATA "/xls/") + name;
}

std::unique_ptr<Workbook> openFixture(const QString &name)
{
    QString error;
    auto book = Workbook::open(fixture(name), &error);
    if (!book)
        qWarning() << name << error;
    return book;
}

QStringList columnNames(const SheetTable &table)
{
    QStringList names;
    for (qsizetype column = 0; column < table.columnCount(); ++column)
        names.append(table.columnName(column).toString());
    return names;
}

QList<QStringList> records(const SheetTable &table)
{
    QList<QStringList> rows;
    for (qsizetype record = 0; record < table.recordCount(); ++record) {
        QStringList values;
        for (qsizetype column = 0; column < table.columnCount(); ++column)
            values.append(table.value(record, column).toString());
        rows.append(values);
    }
    return rows;
}

SheetTable readSheet(const Workbook &book, const QString &name)
{
    QString error;
    const auto table = book.readSheet(book.sheetNames().indexOf(name), &error);
    if (!table)
        qFatal("cannot read sheet: %s", qPrintable(error));
    return *table;
}

SheetTable fixtureSheet(const QString &file, const QString &sheet)
{
    const auto book = openFixture(file);
    if (!book)
        qFatal("cannot open %s", qPrintable(file));
    return readSheet(*book, sheet);
}

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("cannot read %s", qPrintable(path));
    return file.readAll();
}

// Writes the Gnumeric-made fixtures' file names as data rows: the same workbook as BIFF8 and as BIFF5.
void addBothFormats(const QString &stem)
{
    QTest::addColumn<QString>("file");
    QTest::newRow("BIFF8") << stem + QStringLiteral("-biff8.xls");
    QTest::newRow("BIFF5") << stem + (stem == QStringLiteral("fixtures") ? QStringLiteral("-biff5-ja.xls")
                                                                          : QStringLiteral("-biff5.xls"));
}

} // namespace

class TestWorkbook : public QObject {
    Q_OBJECT

private slots:
    void listsWorksheetsInOrderWithHiddenOnes_data() { addBothFormats(QStringLiteral("fixtures")); }
    void listsWorksheetsInOrderWithHiddenOnes()
    {
        QFETCH(QString, file);
        const auto book = openFixture(file);
        QVERIFY(book);
        QCOMPARE(book->sheetNames(), (QStringList{QStringLiteral("社員"), QStringLiteral("Types"), QStringLiteral("Hidden"),
                                                  QStringLiteral("HeaderOnly"), QStringLiteral("Empty")}));
        QCOMPARE(columnNames(readSheet(*book, QStringLiteral("Hidden"))), (QStringList{QStringLiteral("Key"), QStringLiteral("Value")}));
    }

    void writesValuesOfEveryKindAsText_data() { addBothFormats(QStringLiteral("fixtures")); }
    void writesValuesOfEveryKindAsText()
    {
        QFETCH(QString, file);
        const SheetTable table = fixtureSheet(file, QStringLiteral("Types"));
        QCOMPARE(columnNames(table), (QStringList{QStringLiteral("Kind"), QStringLiteral("Value")}));
        const QList<QStringList> expected{
            {QStringLiteral("date"), QStringLiteral("2024-03-15")},
            {QStringLiteral("datetime"), QStringLiteral("2024-03-15 12:00:00")},
            {QStringLiteral("time"), QStringLiteral("18:00:00")},
            {QStringLiteral("boolean"), QStringLiteral("TRUE")},
            {QStringLiteral("error"), QStringLiteral("#N/A")},
            {QStringLiteral("formula number"), QStringLiteral("42")},
            {QStringLiteral("formula text"), QStringLiteral("abcd")},
            {QStringLiteral("formula boolean"), QStringLiteral("FALSE")},
            {QStringLiteral("formula error"), QStringLiteral("#DIV/0!")},
            {QStringLiteral("third"), QStringLiteral("0.333333333333333")},
            {QStringLiteral("large"), QStringLiteral("1e+20")},
            {QStringLiteral("negative"), QStringLiteral("-2.5")},
            {QStringLiteral("leap day"), QStringLiteral("1900-02-29")}, // serial 60, the day Excel invents
            {QStringLiteral("quoted d"), QStringLiteral("1.5")},         // "days" in quotes is no date format
        };
        QCOMPARE(records(table), expected);
    }

    void headerOnlyAndEmptySheets_data() { addBothFormats(QStringLiteral("fixtures")); }
    void headerOnlyAndEmptySheets()
    {
        QFETCH(QString, file);
        const SheetTable headerOnly = fixtureSheet(file, QStringLiteral("HeaderOnly"));
        QCOMPARE(columnNames(headerOnly), (QStringList{QStringLiteral("ID"), QStringLiteral("名前"), QStringLiteral("a_x003C_b")}));
        QCOMPARE(headerOnly.recordCount(), 0);
        const SheetTable empty = fixtureSheet(file, QStringLiteral("Empty"));
        QCOMPARE(empty.columnCount(), 0);
        QCOMPARE(empty.recordCount(), 0);
        QVERIFY(empty.columnName(0).isEmpty());
        QVERIFY(empty.value(0, 0).isEmpty());
    }

    void honours1904DateSystem_data() { addBothFormats(QStringLiteral("dates1904")); }
    void honours1904DateSystem()
    {
        QFETCH(QString, file);
        const SheetTable table = fixtureSheet(file, QStringLiteral("Dates"));
        QCOMPARE(records(table), (QList<QStringList>{{QStringLiteral("1904-01-02")}, {QStringLiteral("2024-03-15")},
                                                     {QStringLiteral("2024-03-15 06:00:00")}}));
    }

    void keepsWorkbookAfterFileIsGone()
    {
        QTemporaryDir dir;
        const QString copy = dir.filePath(QStringLiteral("book.xls"));
        QVERIFY(QFile::copy(fixture(QStringLiteral("fixtures-biff8.xls")), copy));
        QString error;
        const auto book = Workbook::open(copy, &error);
        QVERIFY2(book, qPrintable(error));
        QVERIFY(QFile::remove(copy));
        const SheetTable table = readSheet(*book, QStringLiteral("Hidden"));
        QCOMPARE(table.value(0, 0), u"secret");
    }

    void refusesWhatItCannotRead_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("message");
        const QString missing = fixture(QStringLiteral("no-such-book.xls"));
        QTest::newRow("missing") << missing << QStringLiteral("ファイルが見つかりません: ") + missing;
        QTest::newRow("folder") << QStringLiteral(TESSALY_TEST_DATA) << QStringLiteral("フォルダー");
        QTest::newRow("device") << QStringLiteral("/dev/zero") << QStringLiteral("通常のファイルではありません");
        QTest::newRow("no spreadsheet") << fixture(QStringLiteral("fixtures.gnumeric"))
                                        << QStringLiteral("対応している形式（Excel の .xls・.xlsx・.xlsm・.xltx、OpenDocument の .ods）のブックではありません");
        QTest::newRow("Excel 4.0") << fixture(QStringLiteral("biff4-as3xls.xls"))
                                   << QStringLiteral("BIFF2〜4 形式（Excel 4.0 以前）のファイルには対応していません");
        QTest::newRow("password") << fixture(QStringLiteral("password-xor-biff8.xls"))
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

    void refusesEmptyFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("empty.xls"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        QString error;
        QVERIFY(!Workbook::open(path, &error));
        QCOMPARE(error, QStringLiteral("ファイルが空です"));
    }

    // Every prefix of a real workbook either opens, or fails with a message; whatever opens reads
    // without a crash. The ASan/UBSan run checks that no read strays outside the data.
    void survivesTruncation_data() { addBothFormats(QStringLiteral("fixtures")); }
    void survivesTruncation()
    {
        QFETCH(QString, file);
        const QByteArray whole = fileBytes(fixture(file));
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
};

QTEST_GUILESS_MAIN(TestWorkbook)
#include "tst_workbook.moc"
