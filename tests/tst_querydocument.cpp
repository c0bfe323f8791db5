#include "query/querydocument.h"
#include "settings/settingsdecoder.h"

#include <QtTest>

namespace {

QStringList texts(const QVector<QStringRef> &lines)
{
    QStringList result;
    for (const QStringRef &line : lines)
        result.append(line.toString());
    return result;
}

QString settingsCommand(const QString &marker, const QString &body)
{
    return QStringLiteral("<command name=\"cat\" args=\"") + marker + QStringLiteral("\">\n") +
           body + QStringLiteral("</command>\n");
}

QString block(const QString &heading, const QString &groups)
{
    return heading + QStringLiteral("\n\n") + groups + QString(80, QLatin1Char('-')) +
           QStringLiteral("\n\n");
}

QString emptyGroups()
{
    return QString(7, QLatin1Char('\n'));
}

QString logBlock(const QString &log)
{
    return QStringLiteral("LOG FILE\n\n") + log + QStringLiteral("\n") +
           QString(80, QLatin1Char('-')) + QStringLiteral("\n");
}

const QString journal =
    QStringLiteral("<command name=\"journalctl\" args=\"-u corvelle-printer\">");

} // namespace

class tst_QueryDocument : public QObject
{
    Q_OBJECT

private slots:
    void sectionLines_data();
    void sectionLines();
    void document_data();
    void document();
};

void tst_QueryDocument::sectionLines_data()
{
    QTest::addColumn<QString>("queryText");
    QTest::addColumn<QStringList>("expected");
    const QString marker = primarySettingsMarker;
    QTest::newRow("no marker -> none")
        << QStringLiteral("<command name=\"x\">a\n</command>") << QStringList();
    QTest::newRow("no </command> after marker -> none")
        << QStringLiteral("</command>") + marker + QStringLiteral("\"\nkey=\"a\" value=\"1\"\n")
        << QStringList();
    QTest::newRow("marker, A, B, end -> empty piece first")
        << QStringLiteral("x") + marker + QStringLiteral("\">\nline B\nline A\n</command>")
        << QStringList{QString(), marker + QStringLiteral("\">"), QStringLiteral("line A"),
                       QStringLiteral("line B")};
    QTest::newRow("Z, a, ab-c, ab -> upper first, ab before ab-c")
        << marker + QStringLiteral("\n k=\"ab-c\"\n k=\"a\"\n k=\"ab\"\n k=\"Z\"</command>")
        << QStringList{QStringLiteral(" k=\"Z\""), QStringLiteral(" k=\"a\""),
                       QStringLiteral(" k=\"ab\""), QStringLiteral(" k=\"ab-c\""), marker};
    QTest::newRow("CR LF -> CR kept") << marker + QStringLiteral("\r\nb\r\na\r\n</command>")
                                      << QStringList{QString(), marker + QStringLiteral("\r"),
                                                     QStringLiteral("a\r"), QStringLiteral("b\r")};
    QTest::newRow("marker quoted in log first -> cut from the log")
        << QStringLiteral("<![CDATA[read ") + marker + QStringLiteral(" failed\n]]></command>") +
               settingsCommand(marker, QStringLiteral("key=\"real\" value=\"1\"\n"))
        << QStringList{marker + QStringLiteral(" failed"), QStringLiteral("]]>")};
    QTest::newRow("longer path -> matched as its beginning")
        << marker + QStringLiteral("-old\">\n</command>")
        << QStringList{QString(), marker + QStringLiteral("-old\">")};
}

void tst_QueryDocument::sectionLines()
{
    QFETCH(QString, queryText);
    QFETCH(QStringList, expected);
    const QVector<QStringRef> lines = settingsSectionLines(queryText, primarySettingsMarker);
    QCOMPARE(texts(lines), expected);
    for (const QStringRef &line : lines)
        QCOMPARE(line.string(), &queryText);
}

void tst_QueryDocument::document_data()
{
    QTest::addColumn<QString>("queryText");
    QTest::addColumn<QString>("expected");
    const QString primary = primarySettingsMarker;
    const QString shipped = shippedSettingsMarker;
    const QString emptyBlocks =
        block(primaryHeading, emptyGroups()) + block(shippedHeading, emptyGroups());

    QTest::newRow("no markers -> two empty blocks") << QStringLiteral("<query/>") << emptyBlocks;
    QTest::newRow("both sections and log -> three parts")
        << settingsCommand(shipped,
                           QStringLiteral("  <s key=\"id-model-name\" value=\"Factory\"/>\n")) +
               settingsCommand(primary,
                               QStringLiteral("  <s key=\"volume\" value=\"3\"/>\n"
                                              "  <s key=\"id-model-name\" value=\"Model A\"/>\n")) +
               journal + QStringLiteral("<![CDATA[boot\r\nready\n]]></command>")
        << block(primaryHeading, QStringLiteral("id-model-name\tModel A\n") +
                                     QString(6, QLatin1Char('\n')) +
                                     QStringLiteral("volume\t3\n\n")) +
               block(shippedHeading,
                     QStringLiteral("id-model-name\tFactory\n") + QString(7, QLatin1Char('\n'))) +
               logBlock(QStringLiteral("boot\r\nready\n"));
    QTest::newRow("shipped without </command> -> empty shipped block")
        << settingsCommand(primary, QStringLiteral("key=\"volume\" value=\"3\"\n")) + shipped +
               QStringLiteral("\nkey=\"volume\" value=\"9\"\n")
        << block(primaryHeading, QString(6, QLatin1Char('\n')) + QStringLiteral("volume\t3\n\n")) +
               block(shippedHeading, emptyGroups());
    QTest::newRow("journal without CDATA, later CDATA -> later one")
        << journal +
               QStringLiteral("no output</command><command name=\"df\"><![CDATA[later]]></command>")
        << emptyBlocks + logBlock(QStringLiteral("later"));
    QTest::newRow("long text before the log -> log")
        << QString(2000, QLatin1Char('x')) + journal +
               QStringLiteral("<![CDATA[a ]] b]]></command>")
        << emptyBlocks + logBlock(QStringLiteral("a ]] b"));
    QTest::newRow("empty CDATA -> no log")
        << journal + QStringLiteral("<![CDATA[]]></command>") << emptyBlocks;
    QTest::newRow("CDATA never closed -> no log")
        << journal + QStringLiteral("<![CDATA[text</command>") << emptyBlocks;
    QTest::newRow("CDATA before the journal -> no log")
        << QStringLiteral("<![CDATA[early]]>") + journal + QStringLiteral("</command>")
        << emptyBlocks;
    QTest::newRow("other unit -> no log")
        << QStringLiteral("<command name=\"journalctl\" args=\"-u sshd\"><![CDATA[x]]></command>")
        << emptyBlocks;
}

void tst_QueryDocument::document()
{
    QFETCH(QString, queryText);
    QFETCH(QString, expected);
    QCOMPARE(assembleQueryDocument(queryText), expected);
    // A text the caller hands over is reused in place; a shared one is not.
    QString unshared(queryText.constData(), queryText.size());
    QCOMPARE(assembleQueryDocument(std::move(unshared)), expected);
    QString shared = queryText;
    QCOMPARE(assembleQueryDocument(std::move(shared)), expected);
}

QTEST_GUILESS_MAIN(tst_QueryDocument)
#include "tst_querydocument.moc"
