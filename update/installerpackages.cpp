#include "update/installerpackages.h"

#ifdef Q_OS_WIN
#include "update/windowsinstallerpackages.h"
#else
#include "update/msiprobepackages.h"
#endif

std::unique_ptr<InstallerPackages> createPlatformInstallerPackages()
{
#ifdef Q_OS_WIN
    return std::make_unique<WindowsInstallerPackages>();
#else
    return std::make_unique<MsiProbePackages>();
#endif
}
