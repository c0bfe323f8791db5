#include "modalanswerer.h"
#include "queryfixture.h"

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

namespace {

constexpr int openCount = 200;

qint64 residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

QString serialOf(int index)
{
    return QStringLiteral("ENDURANCE-%1-").arg(index);
}

} // namespace

class tst_Endurance : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void manyOpensInOneWindow();

private:
    QTemporaryDir settingsDir;
    QTemporaryDir filesDir;
    QStringList paths;
};

void tst_Endurance::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir.path());
    QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, settingsDir.path());

    // Files of about the same size, so that memory has no reason to grow.
    for (int i = 0; i < openCount; ++i) {
        QueryFixtureOptions options;
        options.settingsPerSection = 400;
        options.logBytes = 48 * 1024;
        options.serial = serialOf(i);
        options.seed = quint32(i + 1);
        const QByteArray text = buildQueryText(options);
        const QString path =
            filesDir.filePath(QStringLiteral("query%1.%2")
                                  .arg(i)
                                  .arg(i % 2 ? QStringLiteral("zip") : QStringLiteral("txt")));
        if (i % 2) {
            QVERIFY(writeZip(path, {{QStringLiteral("query.txt"), text}}));
        } else {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(text) == text.size());
        }
        paths << path;
    }
}

// Opening one file after another in one window keeps memory where it was
// after the first open, and find and the jumps work on every document.
void tst_Endurance::manyOpensInOneWindow()
{
    ModalAnswerer answerer;
    BrindleQueryTool window;
    auto *view = window.findChild<QPlainTextEdit *>(QStringLiteral("queryTextEdit"));
    auto *field = window.findChild<QLineEdit *>(QStringLiteral("findLineEdit"));
    QVERIFY(view && field);
    const auto trigger = [&window](const char *name) {
        window.findChild<QAction *>(QLatin1String(name))->trigger();
        return window.findChild<QPlainTextEdit *>(QStringLiteral("queryTextEdit"))
            ->textCursor()
            .selectedText();
    };

    qint64 afterFirstKiB = 0;
    qint64 peakKiB = 0;
    for (int i = 0; i < openCount; ++i) {
        window.openQuery(paths.at(i));
        QVERIFY2(answerer.unexpected.isEmpty() && answerer.boxes.isEmpty(),
                 qPrintable(paths.at(i)));

        field->setText(serialOf(i));
        QCOMPARE(trigger("actionFindNext"), serialOf(i));
        QCOMPARE(trigger("actionJumpShipped"), QString(shippedHeading));
        QCOMPARE(trigger("actionJumpLog"), QString(logHeading));
        QCOMPARE(trigger("actionJumpPrimary"), QString(primaryHeading));
        // The previous document's serial is gone with it: find misses and
        // leaves the selection on the heading.
        if (i > 0) {
            field->setText(serialOf(i - 1));
            QCOMPARE(trigger("actionFindNext"), QString(primaryHeading));
        }

        const qint64 nowKiB = residentKiB();
        if (i == 0)
            afterFirstKiB = nowKiB;
        peakKiB = qMax(peakKiB, nowKiB);
    }
    const qint64 lastKiB = residentKiB();
    qDebug("resident memory: %lld KiB after the first open, %lld KiB after %d, peak %lld KiB",
           afterFirstKiB, lastKiB, openCount, peakKiB);
    QVERIFY2(lastKiB * 10 <= afterFirstKiB * 11,
             qPrintable(QStringLiteral("grew from %1 to %2 KiB").arg(afterFirstKiB).arg(lastKiB)));
}

QTEST_MAIN(tst_Endurance)
#include "tst_endurance.moc"
