#include "update/msiprobepackages.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

namespace {

constexpr int maxValueUnits = 15;
constexpr int maxAnswerBytes = 256;

ProductVersionReading invalidPackage()
{
    ProductVersionReading reading;
    reading.openResult = InstallerResult::packageInvalid;
    return reading;
}

bool parseCode(const QString &text, quint32 *code)
{
    bool ok = false;
    const qulonglong value = text.toULongLong(&ok, 10);
    if (!ok || value > 0xffffffffULL)
        return false;
    *code = static_cast<quint32>(value);
    return true;
}

} // namespace

MsiProbePackages::MsiProbePackages(const QString &helperPath, int timeLimitMs)
    : helperPath(helperPath.isEmpty() ? defaultHelperPath() : helperPath)
    , timeLimitMs(timeLimitMs)
{
}

QString MsiProbePackages::defaultHelperPath()
{
    const QString programDir = QCoreApplication::applicationDirPath();
    const QString besideProgram = programDir + QStringLiteral("/brindle-msi-probe");
    const QString installed =
        programDir + QStringLiteral("/" BRINDLE_INSTALLED_HELPER_DIR "/brindle-msi-probe");
    if (!QFileInfo(besideProgram).isExecutable() && QFileInfo(installed).isExecutable())
        return QFileInfo(installed).absoluteFilePath();
    return besideProgram;
}

bool MsiProbePackages::parseAnswer(const QByteArray &answer, ProductVersionReading *reading)
{
    if (answer.size() > maxAnswerBytes)
        return false;
    static const QRegularExpression form(
        QStringLiteral("\\A([0-9]{1,10}) ([0-9]{1,10}) v:((?:[0-9a-f]{2})*)\\n\\z"));
    // Every byte counts: a zero byte must not end the answer early.
    const QRegularExpressionMatch match =
        form.match(QString::fromLatin1(answer.constData(), answer.size()));
    if (!match.hasMatch())
        return false;

    ProductVersionReading parsed;
    if (!parseCode(match.captured(1), &parsed.openResult) ||
        !parseCode(match.captured(2), &parsed.propertyResult))
        return false;
    const QByteArray utf8 = QByteArray::fromHex(match.captured(3).toLatin1());
    const bool succeeded = parsed.openResult == InstallerResult::success &&
                           parsed.propertyResult == InstallerResult::success;
    if (!succeeded && !utf8.isEmpty())
        return false;
    parsed.value = QString::fromUtf8(utf8);
    if (parsed.value.toUtf8() != utf8 || parsed.value.size() > maxValueUnits)
        return false;
    *reading = parsed;
    return true;
}

ProductVersionReading MsiProbePackages::readProductVersion(const QString &packagePath)
{
    QProcess probe;
    probe.setProgram(helperPath);
    probe.setArguments({packagePath});
    probe.setStandardInputFile(QProcess::nullDevice());
    probe.setStandardErrorFile(QProcess::nullDevice());
    probe.start(QIODevice::ReadOnly);
    if (!probe.waitForStarted(timeLimitMs))
        return invalidPackage();
    if (!probe.waitForFinished(timeLimitMs)) {
        probe.kill();
        probe.waitForFinished(-1);
        return invalidPackage();
    }
    if (probe.exitStatus() != QProcess::NormalExit || probe.exitCode() != 0)
        return invalidPackage();

    ProductVersionReading reading;
    if (!parseAnswer(probe.readAllStandardOutput(), &reading))
        return invalidPackage();
    return reading;
}
