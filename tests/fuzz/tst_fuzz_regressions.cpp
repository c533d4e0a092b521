// Replays every input the fuzzer once failed on and, in the sanitizer build, every workbook of the
// shared corpora: each sheet is read and its document composed in the common charsets, so the
// sanitizers show any relapse. XML inputs compare the fast XML reader with expat.
#include "CompareXmlReaders.h"
#include "ExerciseWorkbook.h"

#include <QDirIterator>
#include <QTest>

#include <limits>

class TestFuzzRegressions : public QObject {
    Q_OBJECT

private slots:
    void replay_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<qsizetype>("composedCells");
        // As the fuzzer composes them: its slow inputs are sparse sheets of millions of cells.
        addWorkbooks(QStringLiteral(TESSALY_FUZZ_REGRESSIONS), 4096);
#ifdef TESSALY_CORPORA
        for (const QString &corpus : QStringLiteral(TESSALY_CORPORA).split(u'|'))
            addWorkbooks(corpus, std::numeric_limits<qsizetype>::max());
#endif
    }

    void replay()
    {
        QFETCH(QString, path);
        QFETCH(qsizetype, composedCells);
        QFile file(path);
        if (!file.exists() && qgetenv("CI") != "true")
            QSKIP(qPrintable(path + QStringLiteral(" is missing")));
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(path));
        const QString problem = exerciseWorkbook(file.readAll(), composedCells);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
    }

    // XML parts: the fast reader agrees with expat; the ones named fast-* it reads itself.
    void xmlReaders_data()
    {
        QTest::addColumn<QString>("path");
        const QDir dir(QStringLiteral(TESSALY_FUZZ_REGRESSIONS));
        for (const QFileInfo &file : dir.entryInfoList({u"*.xml"_qs}))
            QTest::newRow(qPrintable(file.fileName())) << file.filePath();
    }
    void xmlReaders()
    {
        QFETCH(QString, path);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        const std::optional<QByteArray> fast = readXmlBytes(bytes, true);
        QCOMPARE(fast.has_value(), QFileInfo(path).fileName().startsWith(u"fast-"));
        if (fast)
            QCOMPARE(*fast, *readXmlBytes(bytes, false));
    }

private:
    // A row per workbook under `folder`, or one naming the folder when it is missing.
    static void addWorkbooks(const QString &folder, qsizetype composedCells)
    {
        if (!QFileInfo::exists(folder))
            QTest::newRow(qPrintable(folder)) << folder << composedCells;
        QDirIterator found(folder, {u"*.xls"_qs, u"*.xlsx"_qs, u"*.xlsm"_qs, u"*.xltx"_qs, u"*.ods"_qs}, QDir::Files,
                           QDirIterator::Subdirectories);
        while (found.hasNext()) {
            const QString path = found.next();
            const QString name = QDir(folder + QStringLiteral("/..")).relativeFilePath(path);
            QTest::newRow(qPrintable(name)) << path << composedCells;
        }
    }
};

QTEST_GUILESS_MAIN(TestFuzzRegressions)
#include "tst_fuzz_regressions.moc"
