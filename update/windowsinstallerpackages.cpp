#include "update/windowsinstallerpackages.h"

#include <qt_windows.h>

#include <msi.h>
#include <msiquery.h>

#include <string>

ProductVersionReading WindowsInstallerPackages::readProductVersion(const QString &packagePath)
{
    ProductVersionReading reading;
    const std::wstring path = packagePath.toStdWString();
    MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);

    MSIHANDLE package = 0;
    reading.openResult = MsiOpenPackageW(path.c_str(), &package);
    if (reading.openResult != ERROR_SUCCESS)
        return reading;

    WCHAR buffer[16] = {};
    DWORD size = 16;
    reading.propertyResult = MsiGetProductPropertyW(package, L"ProductVersion", buffer, &size);
    if (reading.propertyResult != ERROR_SUCCESS) {
        MsiCloseHandle(package);
        return reading;
    }
    reading.closeResult = MsiCloseHandle(package);
    if (reading.closeResult == ERROR_SUCCESS)
        reading.value = QString::fromWCharArray(buffer);
    return reading;
}
