#pragma once

#include "update/installerpackages.h"
#include "update/version.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>

// The file every installation copies the package to before the shell opens
// it. On Windows it sits in the user's own temporary directory; where the
// temporary directory is shared between users, it sits in a directory of its
// own there that only this user may enter ("brindlequerytool-<uid>").
extern const QString tempInstallerPath;
// The installer package published on the company file server.
extern const QString publishedInstallerPath;

// Asks the desktop shell to open the file with its default application and
// returns whether the shell accepted. Outside Windows this runs xdg-open and
// waits up to 10 seconds for its verdict: status 0 is accepted; another
// status, death by a signal or a failed start is refused; still running
// then, it has handed the file to an application that runs in the
// foreground: accepted. xdg-open is never killed, neither then nor when this
// process ends.
bool openWithDesktopShell(const QUrl &fileUrl);

// Where the manager reaches the platform; the defaults are the real services.
struct UpdateManagerSetup
{
    // Null: the platform's own backend. Not owned; must outlive the manager.
    InstallerPackages *packages = nullptr;
    // Hands the installer copy to the desktop shell; true when it accepted.
    std::function<bool(const QUrl &)> openInShell = openWithDesktopShell;
    QString installerCopyPath = tempInstallerPath;
    // Longest pause in a download before it is given up.
    int transferTimeoutMs = 30000;
    // Largest body a download accepts, counted after decompression.
    qint64 maxDownloadBytes = qint64(512) * 1024 * 1024;
};

// Reads the version of an installer package, decides whether it is newer than
// the installed application, installs it through a temporary copy, and
// downloads over HTTP. Shows nothing: every failure is passed as text to the
// error handler given at construction, and the operation returns false or a
// null string.
class UpdateManager : public QObject
{
    Q_OBJECT

public:
    UpdateManager(QString installedVersion, std::function<void(QString)> errorHandler,
                  UpdateManagerSetup setup = UpdateManagerSetup());
    ~UpdateManager() override;

    // The package's "ProductVersion" (at most 15 characters), unchanged. A null
    // string after a reported failure, with the Windows Installer code in the
    // text. When the package is another version of the installed product
    // (1638) nothing is reported and the installed version's text is returned.
    QString msiProductVersion(const QString &packagePath);
    // The installed version's text.
    QString currentVersionText() const;
    // Whether versionText ranks above the installed version; reports nothing.
    bool isNewer(const QString &versionText) const;

    // True when no file is left at filePath, including when there was none.
    bool deleteFile(const QString &filePath);
    // Copies the file to the installer copy path, which must be free.
    bool copyToTempDirectory(const QString &sourcePath);
    // Replaces the installer copy with the package and asks the desktop shell
    // to open it; true when the shell accepted, false without an error text
    // when it refused. Does not wait for the installer and leaves the copy in
    // place.
    bool installUpdate(const QString &packagePath);

    // One GET request, waited for in a nested event loop. Redirects are
    // followed unless they lead from HTTPS to HTTP. Fails, leaving body as it
    // was, on a network error, a final HTTP status outside 2xx, a pause longer
    // than the transfer time-out or a body over the size limit.
    bool downloadBytes(const QUrl &url, QByteArray &body);
    // The body as UTF-8 up to its first zero byte, trimmed; empty on failure.
    QString downloadString(const QString &url);
    // Creates or empties the file and writes all bytes; true when all of them
    // reached the file. What was written stays after a failure.
    bool writeToFile(const QString &filePath, const QByteArray &bytes);
    // downloadBytes then writeToFile; no file is touched when the download fails.
    bool downloadToFile(const QString &url, const QString &filePath);

private:
    bool preparePrivateDirectory();

    Version currentVersion;
    std::function<void(QString)> errorHandler;
    UpdateManagerSetup setup;
};
