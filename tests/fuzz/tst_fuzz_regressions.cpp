// Replays every input the fuzzer once failed on; the sanitizer build shows any relapse.
#include "ExerciseWorkbook.h"

#include <QDir>
#include <QTest>

class TestFuzzRegressions : public QObject {
    Q_OBJECT

private slots:
    void replay_data()
    {
        QTest::addColumn<QString>("path");
        const QDir dir(QStringLiteral(TESSALY_FUZZ_REGRESSIONS));
        for (const QFileInfo &file : dir.entryInfoList({u"*.xls*"_qs, u"*.ods"_qs}))
            QTest::newRow(qPrintable(file.fileName())) << file.filePath();
    }
    void replay()
    {
        QFETCH(QString, path);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        exerciseWorkbook(file.readAll());
    }
};

QTEST_GUILESS_MAIN(TestFuzzRegressions)
#include "tst_fuzz_regressions.moc"
