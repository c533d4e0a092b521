// Replays every input the fuzzer once failed on; the sanitizer build shows any relapse.
#include "CompareXmlReaders.h"
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
        const std::optional<XmlReading> fast = readXmlBytes(bytes, true);
        QCOMPARE(fast.has_value(), QFileInfo(path).fileName().startsWith(u"fast-"));
        if (fast) {
            const XmlReading expat = *readXmlBytes(bytes, false);
            QCOMPARE(fast->ok, expat.ok);
            QCOMPARE(fast->error, expat.error);
            QCOMPARE(fast->log, expat.log);
        }
    }
};

QTEST_GUILESS_MAIN(TestFuzzRegressions)
#include "tst_fuzz_regressions.moc"
