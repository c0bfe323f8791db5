#include "modalanswerer.h"
#include "queryfixture.h"
#include "testfiles.h"

#include "ui/brindlequerytool.h"

#include <QAction>
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

class tst_Endurance : public QObject
{
    Q_OBJECT

private slots:
    void manyOpensInOneWindow();
};

// Opening one query after another in one window keeps memory level, and find
// works on every document. Each document is about 200 KB, so
// keeping any copy of it per open grows the last 100 of 200 opens by 20 MB;
// without a leak they grow by well under 1 MB once the allocator has settled.
void tst_Endurance::manyOpensInOneWindow()
{
    QTemporaryDir dir;
    QStandardPaths::setTestModeEnabled(true);
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());
    QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, dir.path());
    const QByteArray log =
        QByteArray("Mar 14 08:00:00 brindle corvelle-printer[812]: card printed\n").repeated(1600);
    ModalAnswerer answerer;
    BrindleQueryTool window;
    auto *view = window.findChild<QPlainTextEdit *>(QStringLiteral("queryTextEdit"));
    auto *field = window.findChild<QLineEdit *>(QStringLiteral("findLineEdit"));
    qint64 halfwayKiB = 0;
    for (int i = 0; i < 200; ++i) {
        const QByteArray serial = "ENDURANCE-" + QByteArray::number(i) + '-';
        const QByteArray text =
            queryText(settingLines({"id=" + serial}), settingLines({"a=b"}), log);
        const QString path = dir.filePath(QStringLiteral("query.") + (i % 2 ? "zip" : "txt"));
        QVERIFY(i % 2 ? writeZip(path, {{QStringLiteral("query.txt"), text}})
                      : writeFile(path, text));
        window.openQuery(path);
        field->setText(QString::fromLatin1(serial));
        window.findChild<QAction *>(QStringLiteral("actionFindNext"))->trigger();
        QCOMPARE(view->textCursor().selectedText(), field->text());
        if (i == 99)
            halfwayKiB = processStatusKiB("VmRSS");
    }
    QVERIFY(answerer.unexpected.isEmpty() && answerer.boxes.isEmpty());
    const qint64 growthKiB = processStatusKiB("VmRSS") - halfwayKiB;
    QVERIFY2(growthKiB < 5 * 1024, qPrintable(QStringLiteral("grew %1 KiB").arg(growthKiB)));
}

QTEST_MAIN(tst_Endurance)
#include "tst_endurance.moc"
