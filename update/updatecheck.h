#pragma once

#include <QString>

#include <functional>

class UpdateManager;

enum class UpdateCheckOutcome {
    NoUpdate,        // nothing readable, or not newer: nothing to show
    Declined,        // the user was asked and did not accept
    InstallFailed,   // accepted, but the installer could not be started
    InstallerStarted // the shell runs the installer; the caller ends the process
};

// The start-up check without its user interface: reads the version of the
// package at publishedPath through manager and, if it is newer than the
// installed one, calls askToInstall with the version text exactly as read.
// Only when that returns true is the package installed. Failures inside the
// manager go to its error handler; the outcome says what the user should see.
UpdateCheckOutcome runUpdateCheck(UpdateManager &manager, const QString &publishedPath,
                                  const std::function<bool(const QString &version)> &askToInstall);

// Texts of the check, translated in the main window's context.
QString updateQuestionTitle();
// "Version <version> of this application is now available.\n\nInstall it now?"
// with the version inserted as it stands, even when it holds "%1" or "%2".
QString updateQuestionText(const QString &version);
QString updateFailedText();
