#include "query/querydocument.h"
#include "settings/settingsdecoder.h"

#include <QtTest>

static void row(const char *name, const QString &queryText, const QString &expected)
{
    QTest::newRow(name) << queryText << expected;
}

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
    QTest::addColumn<QString>("expected"); // each piece followed by "|"
    const QString m = primarySettingsMarker;
    const QString tag = "<command name=\"cat\" args=\"" + m + "\">";
    row("no marker -> none", "<command name=\"x\">a\n</command>", "");
    row("no </command> after marker -> none", "</command>" + m + "\"\nkey=\"a\" value=\"1\"\n", "");
    row("marker in no tag, B, A -> from the marker, empty piece first",
        "x" + m + "\">\nline B\nline A\n</command>", "|" + m + "\">|line A|line B|");
    row("ab-c, a, ab, Z -> upper first, ab before ab-c",
        m + "\n k=\"ab-c\"\n k=\"a\"\n k=\"ab\"\n k=\"Z\"</command>",
        " k=\"Z\"| k=\"a\"| k=\"ab\"| k=\"ab-c\"|" + m + "|");
    row("CR LF -> CR kept", m + "\r\nb\r\na\r\n</command>", "|" + m + "\r|a\r|b\r|");
    row("marker in a value after a tag's >, then in a tag -> from the tag",
        "<command name=\"x\">key=\"k\" value=\"" + m + "\"</command>" + tag + "\nreal\n</command>",
        "|" + m + "\">|real|");
}

void tst_QueryDocument::sectionLines()
{
    QFETCH(QString, queryText);
    QString pieces;
    for (const QStringRef &line : settingsSectionLines(queryText, primarySettingsMarker)) {
        QCOMPARE(line.string(), &queryText);
        pieces += line + QLatin1Char('|');
    }
    QTEST(pieces, "expected");
}

void tst_QueryDocument::document_data()
{
    QTest::addColumn<QString>("queryText");
    QTest::addColumn<QString>("expected");
    const auto command = [](const QString &marker, const char *body) -> QString {
        return "<command name=\"cat\" args=\"" + marker + "\">\n" + body + "</command>\n";
    };
    const auto block = [](const QString &heading,
                          const QString &groups = QString(7, '\n')) -> QString {
        return heading + "\n\n" + groups + sectionRule() + "\n\n";
    };
    const auto log = [](const QString &text) -> QString {
        return logHeading + QStringLiteral("\n\n") + text + '\n' + sectionRule() + '\n';
    };
    const QString noSettings = block(primaryHeading) + block(shippedHeading);
    const QString journal = "<command name=\"journalctl\" args=\"-u corvelle-printer\">";

    row("both sections and log -> three parts",
        command(shippedSettingsMarker, "  <s key=\"id-model-name\" value=\"Factory\"/>\n") +
            command(primarySettingsMarker, "  <s key=\"volume\" value=\"3\"/>\n"
                                           "  <s key=\"id-model-name\" value=\"Model A\"/>\n") +
            journal + "<![CDATA[boot\r\nready\n]]></command>",
        block(primaryHeading, "id-model-name\tModel A\n" + QString(6, '\n') + "volume\t3\n\n") +
            block(shippedHeading, "id-model-name\tFactory\n" + QString(7, '\n')) +
            log("boot\r\nready\n"));
    row("journal without CDATA, later command's CDATA -> no log",
        journal + "no output</command><command name=\"df\"><![CDATA[later]]></command>",
        noSettings);
    // Far from the start, the log lies behind where it is moved to.
    row("long text before the log -> log",
        QString(2000, 'x') + journal + "<![CDATA[a ]] b]]></command>", noSettings + log("a ]] b"));
    row("empty CDATA -> no log", journal + "<![CDATA[]]></command>", noSettings);
    row("CDATA cut off -> log to the end, then the note", journal + "<![CDATA[one\ntw",
        noSettings + log("one\ntw\n" + logCutNote));
    row("nothing after <![CDATA[ -> no log", journal + "<![CDATA[", noSettings);
    row("CDATA before the journal -> no log", "<![CDATA[early]]>" + journal + "</command>",
        noSettings);
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
