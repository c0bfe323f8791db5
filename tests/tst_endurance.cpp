#include "modalanswerer.h"
#include "queryfixture.h"
#include "testfiles.h"

#include "query/querydocument.h"
#include "ui/brindlequerytool.h"

#include <QAction>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

// Freed memory would otherwise sit in AddressSanitizer's quarantine and look
// like growth.
#if defined(__SANITIZE_ADDRESS__)
extern "C" const char *__asan_default_options()
{
    return "quarantine_size_mb=0";
}
#endif

static qint64 residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    const QByteArray text = status.open(QIODevice::ReadOnly) ? status.readAll() : QByteArray();
    const int at = text.indexOf("VmRSS:") + 6;
    return text.mid(at, text.indexOf('\n', at) - at).trimmed().split(' ').value(0).toLongLong();
}

class tst_Endurance : public QObject
{
    Q_OBJECT

private slots:
    void manyOpensInOneWindow();
};

// Opening one file after another in one window keeps memory where it was
// after the first open, and find and the jumps work on every document.
void tst_Endurance::manyOpensInOneWindow()
{
    QTemporaryDir settingsDir;
    QStandardPaths::setTestModeEnabled(true);
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir.path());
    QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, settingsDir.path());

    // Files of about the same size, so that memory has no reason to grow;
    // written first, so that writing them adds nothing to the measurement.
    const int openCount = 200;
    QTemporaryDir filesDir;
    QStringList paths;
    for (int i = 0; i < openCount; ++i) {
        QueryFixtureOptions options;
        options.settingsPerSection = 400;
        options.logBytes = 48 * 1024;
        options.serial = QStringLiteral("ENDURANCE-%1-").arg(i);
        options.seed = quint32(i + 1);
        const QByteArray text = buildQueryText(options);
        paths << filesDir.filePath(QStringLiteral("query%1.%2").arg(i).arg(i % 2 ? "zip" : "txt"));
        QVERIFY(i % 2 ? writeZip(paths.last(), {{QStringLiteral("query.txt"), text}})
                      : writeFile(paths.last(), text));
    }

    ModalAnswerer answerer;
    BrindleQueryTool window;
    auto *view = window.findChild<QPlainTextEdit *>(QStringLiteral("queryTextEdit"));
    auto *field = window.findChild<QLineEdit *>(QStringLiteral("findLineEdit"));
    QVERIFY(view && field);
    const auto trigger = [&](const char *name) {
        window.findChild<QAction *>(QLatin1String(name))->trigger();
        return view->textCursor().selectedText();
    };
    qint64 afterFirstKiB = 0;
    for (int i = 0; i < openCount; ++i) {
        window.openQuery(paths.at(i));
        QVERIFY2(answerer.unexpected.isEmpty() && answerer.boxes.isEmpty(),
                 qPrintable(paths.at(i)));
        field->setText(QStringLiteral("ENDURANCE-%1-").arg(i));
        QCOMPARE(trigger("actionFindNext"), field->text());
        QCOMPARE(trigger("actionJumpShipped"), QString(shippedHeading));
        QCOMPARE(trigger("actionJumpLog"), QString(logHeading));
        QCOMPARE(trigger("actionJumpPrimary"), QString(primaryHeading));
        // The previous document's serial (none before the first) is gone with
        // it: find misses and leaves the selection on the heading.
        field->setText(QStringLiteral("ENDURANCE-%1-").arg(i - 1));
        QCOMPARE(trigger("actionFindNext"), QString(primaryHeading));
        if (i == 0)
            afterFirstKiB = residentKiB();
    }
    const qint64 lastKiB = residentKiB();
    QVERIFY2(afterFirstKiB > 0 && lastKiB * 10 <= afterFirstKiB * 11,
             qPrintable(QStringLiteral("grew from %1 to %2 KiB").arg(afterFirstKiB).arg(lastKiB)));
}

QTEST_MAIN(tst_Endurance)
#include "tst_endurance.moc"
