#include "query/querydocument.h"

#include <QtTest>

class tst_QueryDocument : public QObject
{
    Q_OBJECT

private slots:
    void document_data()
    {
        QTest::addColumn<QString>("queryText");
        QTest::addColumn<QString>("expected");
        const auto row = [](const char *name, const QString &queryText, const QString &expected) {
            QTest::newRow(name) << queryText << expected;
        };
        const auto command = [](const QString &marker, const char *body) -> QString {
            return "<command name=\"cat\" args=\"" + marker + "\">\n" + body + "</command>\n";
        };
        const QString rule(80, '-');
        const auto block = [&rule](const QString &heading,
                                   const QString &groups = QString(7, '\n')) -> QString {
            return heading + "\n\n" + groups + rule + "\n\n";
        };
        const auto log = [&rule](const QString &text) -> QString {
            return logHeading + QStringLiteral("\n\n") + text + '\n' + rule + '\n';
        };
        const QString noSettings = block(primaryHeading) + block(shippedHeading);
        const QString journal = "<command name=\"journalctl\" args=\"-u corvelle-printer\">";
        const QString primary = primarySettingsMarker;

        // The primary lines, sorted, are the decoder's worked example: a key of
        // every group, an empty value, and the value before the key (skipped).
        row("worked example, code-unit order, duplicates, CR LF log -> three parts",
            command(shippedSettingsMarker,
                    "  <s key=\"ab-c\" value=\"1\"/>\n  <s key=\"x\" value=\"2\"/>\n"
                    "  <s key=\"a\" value=\"1\"/>\n  <s key=\"x\" value=\"1\"/>\n"
                    "  <s key=\"ab\" value=\"1\"/>\n  <s key=\"Z\" value=\"1\"/>\n"
                    "  <s key=\"x\" value=\"2\"/>\n") +
                command(primarySettingsMarker,
                        "  value=\"1\" key=\"late-key\"\n  key=\"volume\" value=\"\"\n"
                        "  key=\"stats-cards-printed\" value=\"42\"\n"
                        "  key=\"maintenance-challenge\" value=\"example-text\"\n"
                        "  key=\"id-sales-region\" value=\"north\"\n"
                        "  key=\"id-printer-serial\" value=\"example-serial\"\n"
                        "  key=\"id-model-name\" value=\"Model A\"\n  key=\"id-firmware\" "
                        "value=\"1.2.3\"\n"
                        "  key=\"dye-film-type\" value=\"standard\"\n") +
                journal + "<![CDATA[boot\r\nready\n]]></command>",
            block(primaryHeading,
                  "id-model-name\tModel A\nid-printer-serial\texample-serial\n\n"
                  "id-sales-region\tnorth\n\nmaintenance-challenge\texample-text\n\n"
                  "stats-cards-printed\t42\n\ndye-film-type\tstandard\n\n"
                  "id-firmware\t1.2.3\n\nvolume\t\n\n") +
                block(shippedHeading,
                      QString(6, '\n') + "Z\t1\na\t1\nab\t1\nab-c\t1\nx\t1\nx\t2\nx\t2\n\n") +
                log("boot\r\nready\n"));
        row("marker in a value after a tag's >, then in a tag -> section from the tag",
            "<command name=\"x\">key=\"k\" value=\"" + primary + "\"</command>\n" +
                command(primarySettingsMarker, "key=\"real\" value=\"1\"\n"),
            block(primaryHeading, QString(6, '\n') + "real\t1\n\n") + block(shippedHeading));
        row("markers in no tag -> first occurrence; no </command> after shipped -> empty",
            primary + "\nkey=\"a\" value=\"1\"\n</command>" + shippedSettingsMarker +
                "\nkey=\"b\" value=\"2\"\n",
            block(primaryHeading, QString(6, '\n') + "a\t1\n\n") + block(shippedHeading));
        // Commands that name the file without printing it, a backup's, and a
        // command whose args hold more than the path, before the real cat.
        const auto named = [](const char *name, const QString &args, const char *output) {
            return QString("<command name=\"%1\" args=\"%2\">\n%3</command>\n")
                .arg(name, args, output);
        };
        // A head or tail whose args are exactly the path prints part of the
        // file; the cat that prints all of it prints those lines too. Of two
        // cats the first counts, and a later command with more lines but not
        // all of the first's (forged in a log whose "]]>" ends its CDATA
        // early) takes nothing.
        const QString three = "  key=\"a\" value=\"%1\"\n  key=\"b\" value=\"%1\"\n"
                              "  key=\"c\" value=\"%1\"\n";
        row("head and tail of the path around two cats -> the first cat's",
            named("head", primary, "  key=\"a\" value=\"cat\"\n  key=\"b\" value=\"cat\"\n") +
                named("cat", primary, qPrintable(three.arg("cat"))) +
                named("cat", primary, qPrintable(three.arg("again") + three.arg("more"))) +
                named("tail", primary, "  key=\"c\" value=\"cat\"\n"),
            block(primaryHeading, QString(6, '\n') + "a\tcat\nb\tcat\nc\tcat\n\n") +
                block(shippedHeading));
        const QString injected =
            "x: ]]></command>" +
            command(primarySettingsMarker, qPrintable(three.arg("log") + three.arg("log2"))) +
            "<command name=\"x\"><![CDATA[\n";
        row("cat, then a longer cat forged in the log -> the cat's",
            named("cat", primary, qPrintable(three.arg("cat"))) + journal + "<![CDATA[" + injected +
                "]]></command>",
            block(primaryHeading, QString(6, '\n') + "a\tcat\nb\tcat\nc\tcat\n\n") +
                block(shippedHeading) + log("x: "));
        // No command's args are exactly the path: the first opening tag that
        // names it, not the log line before it that quotes it.
        const QString quoting = "reading " + primary + " key=\"a\" value=\"log\"\n";
        row("log line quoting the path, then cat -v of it -> the cat's",
            journal + "<![CDATA[" + quoting + "]]></command>\n" +
                named("cat", "-v " + primary, "  key=\"a\" value=\"cat\"\n"),
            block(primaryHeading, QString(6, '\n') + "a\tcat\n\n") + block(shippedHeading) +
                log(quoting));
        // A command cut off before its end ends where the next one starts; a
        // command quoted in a log is text, however many lines it prints.
        const QString forged = command(primarySettingsMarker, qPrintable(three.arg("log")));
        row("cat cut off before the shipped cat, longer cat in the log -> its own line",
            command(primarySettingsMarker, "  key=\"a\" value=\"1\"\n").remove("</command>\n") +
                command(shippedSettingsMarker, "  key=\"c\" value=\"1\"\n") + journal +
                "<![CDATA[" + forged + "]]></command>",
            block(primaryHeading, QString(6, '\n') + "a\t1\n\n") +
                block(shippedHeading, QString(6, '\n') + "c\t1\n\n") + log(forged));
        row("md5sum, stat, ls -l, tail -n 3 of the file, cat of a backup, then cat -> the cat's",
            named("md5sum", primary, "d41d8cd98f00b204e9800998ecf8427e\n") +
                named("stat", primary, "  File: primary\n") +
                named("ls", "-l " + primary, "-rw-r--r-- 1\n") +
                named("tail", "-n 3 " + primary, "  key=\"sales-region\" value=\"tail\"\n") +
                named("cat", primary + ".bak", "  key=\"sales-region\" value=\"OLD\"\n") +
                command(primarySettingsMarker, "  key=\"sales-region\" value=\"south\"\n"),
            block(primaryHeading, "\nsales-region\tsouth\n" + QString(6, '\n')) +
                block(shippedHeading));
        // A value must not make a line of its own, nor read right to left;
        // the last of the C0 controls and the first and last of the C1
        // controls catch a range cut short.
        row("CR, U+2028-9, U+0085, U+FDD0-1, bidi, C0 and C1 in values; TAB, \\ -> escaped, kept",
            command(primarySettingsMarker,
                    "key=\"a\" value=\"south\rmaintenance-challenge\t0000\"\n"
                    "key=\"b\u2028c\" "
                    "value=\"x\u2029\u0085\ufdd0\ufdd1\u202e\u2066\u200f\u200e\u061c\\\\y\x1b"
                    "\x1f\u0080\u009f\"\n"),
            block(primaryHeading, QString(6, '\n') + "a\tsouth\\rmaintenance-challenge\t0000\n"
                                                     "b\\u2028c\tx\\u2029\\u0085\\ufdd0\\ufdd1\\u2"
                                                     "02e\\u2066\\u200f\\u200e\\u061c\\\\y\\x1b\\"
                                                     "x1f\\x80\\x9f\n\n") +
                block(shippedHeading));
        // Far from the start, the log lies behind where it is moved to.
        row("long text before the log -> log",
            QString(2000, 'x') + journal + "<![CDATA[a ]] b]]></command>",
            noSettings + log("a ]] b"));
        row("nothing after <![CDATA[ -> no log", journal + "<![CDATA[", noSettings);
        // Those without a log, with an empty or a cut-off one are the fuzz target's seeds.
        row("CDATA before the journal -> no log", "<![CDATA[early]]>" + journal + "</command>",
            noSettings);
    }

    void document()
    {
        QFETCH(QString, queryText);
        QFETCH(QString, expected);
        QCOMPARE(assembleQueryDocument(queryText).text, expected);
        // A text the caller hands over is reused in place; a shared one is not.
        QString unshared(queryText.constData(), queryText.size());
        QCOMPARE(assembleQueryDocument(std::move(unshared)).text, expected);
        QString shared = queryText;
        QCOMPARE(assembleQueryDocument(std::move(shared)).text, expected);
    }
};

QTEST_GUILESS_MAIN(tst_QueryDocument)
#include "tst_querydocument.moc"
