#include "update/updatemanager.h"

#include "platform/fileserver.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

#ifdef Q_OS_WIN
#include <QDesktopServices>
#else
#include <QDeadlineTimer>
#include <QThread>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

QString makeTempInstallerPath()
{
    const QString tempDir = QDir(QDir::tempPath()).absolutePath();
#ifdef Q_OS_WIN
    return tempDir + QStringLiteral("/installer.msi");
#else
    // The temporary directory is shared: a fixed name there would let another
    // user plant or swap the file we hand to the shell.
    return tempDir + QStringLiteral("/brindlequerytool-") + QString::number(geteuid()) +
           QStringLiteral("/installer.msi");
#endif
}

} // namespace

const QString tempInstallerPath = makeTempInstallerPath();
const QString publishedInstallerPath = fileServerPath(
    QStringLiteral("\\Engineering\\Public\\Corvelle Software Installers\\BrindleQueryTool.msi"));

bool openWithDesktopShell(const QUrl &fileUrl)
{
#ifdef Q_OS_WIN
    return QDesktopServices::openUrl(fileUrl);
#else
    // Qt's own call reports success as soon as xdg-open has started, even when
    // xdg-open then finds no application and exits with an error. Where no
    // desktop is detected, xdg-open runs the application in the foreground
    // and ends only with it: a QProcess would kill it, and the installer with
    // it, at the time-out and at our exit. So the child is our own and is
    // never killed.
    const QByteArray url = fileUrl.toEncoded(); // one argument: no shell parses it
    char program[] = "xdg-open";
    char *const arguments[] = {program, const_cast<char *>(url.constData()), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t opener = 0;
    const int spawned = posix_spawnp(&opener, program, &actions, nullptr, arguments, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return false;
    const QDeadlineTimer deadline(10000);
    for (;;) {
        int status = 0;
        const pid_t ended = waitpid(opener, &status, WNOHANG);
        if (ended == opener)
            return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (ended < 0 && errno != EINTR)
            return false;
        // Still running at the deadline: the application it found runs in
        // the foreground.
        if (deadline.hasExpired())
            return true;
        QThread::msleep(20);
    }
#endif
}

UpdateManager::UpdateManager(QString installedVersion, std::function<void(QString)> errorHandler,
                             UpdateManagerSetup setup)
    : QObject(nullptr)
    , currentVersion(installedVersion)
    , errorHandler(std::move(errorHandler))
    , setup(std::move(setup))
{
}

UpdateManager::~UpdateManager() = default;

QString UpdateManager::msiProductVersion(const QString &packagePath)
{
    std::unique_ptr<InstallerPackages> platformPackages;
    InstallerPackages *packages = setup.packages;
    if (!packages) {
        platformPackages = createPlatformInstallerPackages();
        packages = platformPackages.get();
    }
    const ProductVersionReading reading = packages->readProductVersion(packagePath);

    if (reading.openResult == InstallerResult::productVersion)
        return currentVersionText();
    if (reading.openResult != InstallerResult::success) {
        errorHandler(QStringLiteral("Failed to open .msi package.\nError code: ") +
                     QString::number(reading.openResult));
        return QString();
    }
    if (reading.propertyResult != InstallerResult::success) {
        errorHandler(QStringLiteral("Failed to get .msi property.\nError code: ") +
                     QString::number(reading.propertyResult));
        return QString();
    }
    if (reading.closeResult != InstallerResult::success) {
        errorHandler(QStringLiteral("Failed to close .msi package.\nError code: ") +
                     QString::number(reading.closeResult));
        return QString();
    }
    // An empty property is a result, not a failure: keep it apart from the null string.
    return reading.value.isNull() ? QStringLiteral("") : reading.value;
}

QString UpdateManager::currentVersionText() const
{
    return currentVersion.isValid() ? currentVersion.toString() : QString();
}

bool UpdateManager::isNewer(const QString &versionText) const
{
    const Version candidate(versionText);
    if (!candidate.isValid())
        return false;
    if (!currentVersion.isValid())
        return true;
    return currentVersion.compare(candidate) == -1;
}

bool UpdateManager::deleteFile(const QString &filePath)
{
    if (!QFile::exists(filePath))
        return true;
    QFile file(filePath);
    if (file.remove())
        return true;
    errorHandler(QStringLiteral("Could not delete ") + filePath + QStringLiteral(".\n") +
                 file.errorString());
    return false;
}

bool UpdateManager::preparePrivateDirectory()
{
#ifdef Q_OS_WIN
    return true;
#else
    const QString dirPath = QFileInfo(setup.installerCopyPath).absolutePath();
    const QByteArray nativeDir = QFile::encodeName(dirPath);
    auto fail = [&](const QString &reason) {
        errorHandler(QStringLiteral("Could not prepare the private directory ") + dirPath +
                     QStringLiteral(".\n") + reason);
        return false;
    };
    if (::mkdir(nativeDir.constData(), 0700) != 0 && errno != EEXIST)
        return fail(QString::fromLocal8Bit(std::strerror(errno)));
    // lstat, so that a link planted under our name is refused, not followed.
    struct stat info;
    if (::lstat(nativeDir.constData(), &info) != 0)
        return fail(QString::fromLocal8Bit(std::strerror(errno)));
    if (!S_ISDIR(info.st_mode))
        return fail(QStringLiteral("It is not a directory."));
    if (info.st_uid != geteuid())
        return fail(QStringLiteral("It belongs to another user."));
    if ((info.st_mode & 077) != 0 && ::chmod(nativeDir.constData(), 0700) != 0)
        return fail(QString::fromLocal8Bit(std::strerror(errno)));
    return true;
#endif
}

bool UpdateManager::copyToTempDirectory(const QString &sourcePath)
{
    if (!preparePrivateDirectory())
        return false;
    if (QFile::copy(sourcePath, setup.installerCopyPath))
        return true;
    errorHandler(QStringLiteral("Could not copy ") + sourcePath +
                 QStringLiteral(" to tempory directory"));
    return false;
}

bool UpdateManager::installUpdate(const QString &packagePath)
{
    // Checked before anything is deleted in it, so a planted link is never followed.
    if (!preparePrivateDirectory())
        return false;
    if (!deleteFile(setup.installerCopyPath))
        return false;
    if (!copyToTempDirectory(packagePath))
        return false;
    // fromLocalFile: a path holding '#', '%' or '?' must not be read as a URL.
    return setup.openInShell(QUrl::fromLocalFile(setup.installerCopyPath));
}

bool UpdateManager::downloadBytes(const QUrl &url, QByteArray &body)
{
    auto *access = new QNetworkAccessManager;
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setTransferTimeout(setup.transferTimeoutMs);
    QNetworkReply *reply = access->get(request);

    // Read as the body arrives: Qt inflates compressed bodies, so the size on
    // the wire says nothing about the size in memory.
    QByteArray received;
    bool tooLarge = false;
    auto takeAvailable = [&] {
        if (tooLarge || !reply->isOpen())
            return;
        received += reply->readAll();
        if (received.size() > setup.maxDownloadBytes) {
            tooLarge = true;
            received.clear();
            reply->abort();
        }
    };
    connect(reply, &QNetworkReply::readyRead, reply, takeAvailable);

    QEventLoop loop;
    connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    if (!reply->isFinished())
        loop.exec();
    takeAvailable();
    QObject::disconnect(reply, nullptr, nullptr, nullptr);

    QString failure;
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (tooLarge) {
        failure = QString::number(int(QNetworkReply::UnknownContentError)) +
                  QStringLiteral(" - The download is larger than ") +
                  QString::number(setup.maxDownloadBytes) + QStringLiteral(" bytes");
    } else if (reply->error() != QNetworkReply::NoError) {
        failure =
            QString::number(int(reply->error())) + QStringLiteral(" - ") + reply->errorString();
    } else if (status.isValid() && (status.toInt() < 200 || status.toInt() > 299)) {
        failure = QString::number(int(QNetworkReply::UnknownContentError)) +
                  QStringLiteral(" - The server answered with HTTP status ") +
                  QString::number(status.toInt()) + QLatin1Char(' ') +
                  reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
    }
    access->deleteLater();
    reply->deleteLater();

    if (!failure.isNull()) {
        errorHandler(QStringLiteral("Error - ") + failure);
        return false;
    }
    body = received;
    return true;
}

QString UpdateManager::downloadString(const QString &url)
{
    QByteArray bytes;
    if (!downloadBytes(QUrl(url, QUrl::TolerantMode), bytes))
        return QString();
    const int zero = bytes.indexOf('\0');
    return QString::fromUtf8(zero < 0 ? bytes : bytes.left(zero)).trimmed();
}

bool UpdateManager::writeToFile(const QString &filePath, const QByteArray &bytes)
{
    // Unbuffered, so the write call itself meets a full disk; a buffered one
    // would only fail in close(), after success had been reported.
    QFile file(filePath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        errorHandler(QStringLiteral("Failed to create ") + filePath);
        return false;
    }
    const qint64 written = file.write(bytes);
    if (written < 0) {
        errorHandler(QStringLiteral("Could not write to ") + filePath);
        file.close();
        return false;
    }
    if (written != bytes.size()) {
        errorHandler(QStringLiteral("Failed to write to ") + filePath +
                     QStringLiteral(".\nCould only write ") + QString::number(written) +
                     QStringLiteral(" of ") + QString::number(bytes.size()) +
                     QStringLiteral(" bytes."));
        file.close();
        return false;
    }
    file.close();
    if (file.error() != QFileDevice::NoError) {
        errorHandler(QStringLiteral("Could not write to ") + filePath);
        return false;
    }
    return true;
}

bool UpdateManager::downloadToFile(const QString &url, const QString &filePath)
{
    QByteArray bytes;
    if (!downloadBytes(QUrl(url, QUrl::TolerantMode), bytes))
        return false;
    return writeToFile(filePath, bytes);
}
