#include "core/document/XmlName.h"

#include <QTest>

class TestXmlName : public QObject {
    Q_OBJECT

private slots:
    void unusableCharactersAreEscaped_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("expected");
        QTest::newRow("escape look-alike") << QStringLiteral("a_x0020_") << QStringLiteral("a_x005F_x0020_");
        QTest::newRow("combining mark after the start") << QStringLiteral("e\u0301") << QStringLiteral("e\u0301");
        QTest::newRow("astral start character")
            << QString::fromUcs4(U"\U00020BB7野家") << QString::fromUcs4(U"\U00020BB7野家");
        QTest::newRow("digit at the start") << QStringLiteral("1st") << QStringLiteral("_x0031_st");
        QTest::newRow("less-than") << QStringLiteral("a<b") << QStringLiteral("a_x003C_b");
        QTest::newRow("hyphen and dot only after the start") << QStringLiteral("-a.b") << QStringLiteral("_x002D_a.b");
        QTest::newRow("astral outside the name range")
            << QString::fromUcs4(U"a\U000F0000") << QStringLiteral("a_xF0000_");
        QTest::newRow("lone surrogate") << QStringLiteral("a") + QChar(0xD800) << QStringLiteral("a_xD800_");
    }
    void unusableCharactersAreEscaped()
    {
        QFETCH(QString, name);
        QFETCH(QString, expected);
        QCOMPARE(tessaly::toXmlName(name), expected);
        QVERIFY(tessaly::isXmlName(expected));
        // The receiver maps the name back; a lone surrogate is no character and stays escaped.
        QCOMPARE(tessaly::fromXmlName(expected), name.contains(QChar(0xD800)) ? expected : name);
    }
};

QTEST_APPLESS_MAIN(TestXmlName)
#include "tst_xmlname.moc"
