#pragma once

#include "update/installerpackages.h"

// Reads packages with libmsi in the helper program brindle-msi-probe, so a
// damaged package that crashes or hangs libmsi cannot take this process down.
// A helper that crashes, runs past the time limit (and is killed), cannot be
// started or gives an answer out of form counts as an invalid package (1620).
class MsiProbePackages : public InstallerPackages
{
public:
    // helperPath empty: the installed helper (see defaultHelperPath).
    explicit MsiProbePackages(const QString &helperPath = QString(), int timeLimitMs = 20000);

    ProductVersionReading readProductVersion(const QString &packagePath) override;

    // brindle-msi-probe next to the running program, else where the
    // installation puts it relative to the program (the build's libexec
    // folder, brindlequerytool/). Needs a QCoreApplication.
    static QString defaultHelperPath();

    // Decodes the helper's standard output; false when it is out of form.
    static bool parseAnswer(const QByteArray &answer, ProductVersionReading *reading);

private:
    QString helperPath;
    int timeLimitMs;
};
