#pragma once

#include <QString>

#include <memory>

// Windows Installer result codes that the update manager tells apart or that
// every backend must produce for the same outcome.
namespace InstallerResult {
constexpr quint32 success = 0;
constexpr quint32 moreData = 234;           // value needs 16 or more characters
constexpr quint32 packageOpenFailed = 1619; // missing or unreadable file
constexpr quint32 packageInvalid = 1620;    // not a package, or the reader failed
constexpr quint32 productVersion = 1638;    // another version is installed
} // namespace InstallerResult

// The outcome of reading one package's "ProductVersion" property the way the
// Windows Installer API does it: open, read into a buffer of 16 characters
// (at most 15 plus the terminating zero), close. A stage that was not reached
// keeps result 0; value is set only when all three succeeded.
struct ProductVersionReading
{
    quint32 openResult = InstallerResult::success;
    quint32 propertyResult = InstallerResult::success;
    quint32 closeResult = InstallerResult::success;
    QString value;
};

// Reads installer packages. Implementations never show any user interface,
// never write to the console and never bring the calling process down,
// whatever the file holds.
class InstallerPackages
{
public:
    virtual ~InstallerPackages() = default;
    virtual ProductVersionReading readProductVersion(const QString &packagePath) = 0;
};

// The backend of this platform: the Windows Installer API on Windows, a helper
// process using libmsi elsewhere.
std::unique_ptr<InstallerPackages> createPlatformInstallerPackages();
