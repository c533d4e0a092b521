#include "core/document/XmlName.h"

#include <QTest>

class TestXmlName : public QObject {
    Q_OBJECT

private slots:
    void validNamesStayUnchanged_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("ascii") << QStringLiteral("Name");
        QTest::newRow("underscore start and x escape look-alike") << QStringLiteral("_x0020_");
        QTest::newRow("combining mark after the start") << QStringLiteral("e\u0301");
        QTest::newRow("astral start character") << QString::fromUcs4(U"\U00020BB7野家");
    }
    void validNamesStayUnchanged()
    {
        QFETCH(QString, name);
        QVERIFY(tessaly::isXmlName(name));
        QCOMPARE(tessaly::toXmlName(name), name);
    }

    void invalidCharactersAreEscaped_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("expected");
        QTest::newRow("digit at the start") << QStringLiteral("1st") << QStringLiteral("_x0031_st");
        QTest::newRow("less-than") << QStringLiteral("a<b") << QStringLiteral("a_x003C_b");
        QTest::newRow("hyphen and dot only after the start") << QStringLiteral("-a.b") << QStringLiteral("_x002D_a.b");
        QTest::newRow("astral outside the name range") << QString::fromUcs4(U"a\U000F0000") << QStringLiteral("a_xF0000_");
        QTest::newRow("lone surrogate") << QStringLiteral("a") + QChar(0xD800) << QStringLiteral("a_xD800_");
        QTest::newRow("carriage return") << QStringLiteral("a\rb") << QStringLiteral("a_x000D_b");
    }
    void invalidCharactersAreEscaped()
    {
        QFETCH(QString, name);
        QFETCH(QString, expected);
        QVERIFY(!tessaly::isXmlName(name));
        QCOMPARE(tessaly::toXmlName(name), expected);
        QVERIFY(tessaly::isXmlName(expected));
        // The receiver maps the name back; a lone surrogate is no character and stays escaped.
        QCOMPARE(tessaly::fromXmlName(expected), name.contains(QChar(0xD800)) ? expected : name);
    }
};

QTEST_APPLESS_MAIN(TestXmlName)
#include "tst_xmlname.moc"
