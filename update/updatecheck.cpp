#include "update/updatecheck.h"

#include "update/updatemanager.h"

#include <QCoreApplication>

UpdateCheckOutcome runUpdateCheck(UpdateManager &manager, const QString &publishedPath,
                                  const std::function<bool(const QString &version)> &askToInstall)
{
    const QString published = manager.msiProductVersion(publishedPath);
    if (published.isEmpty() || !manager.isNewer(published))
        return UpdateCheckOutcome::NoUpdate;
    if (!askToInstall(published))
        return UpdateCheckOutcome::Declined;
    return manager.installUpdate(publishedPath) ? UpdateCheckOutcome::InstallerStarted
                                                : UpdateCheckOutcome::InstallFailed;
}

QString updateQuestionTitle()
{
    return QCoreApplication::translate("BrindleQueryTool", "New version available");
}

QString updateQuestionText(const QString &version)
{
    const QString question = QCoreApplication::translate(
        "BrindleQueryTool", "Version %1 of this application is now available.\n\nInstall it now?");
    // replace() does not look at the inserted text again, unlike a second arg().
    return QString(question).replace(QStringLiteral("%1"), version);
}

QString updateFailedText()
{
    return QCoreApplication::translate("BrindleQueryTool",
                                       "Couldn't install the update.\nTry again later.");
}
