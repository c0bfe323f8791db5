#pragma once

#include "update/installerpackages.h"

// Reads packages through the Windows Installer API, with its user interface
// turned off for the whole process on every read.
class WindowsInstallerPackages : public InstallerPackages
{
public:
    ProductVersionReading readProductVersion(const QString &packagePath) override;
};
