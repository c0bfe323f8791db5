// Arbitrary bytes as an installer package, read the way the start-up check
// reads the published one: UpdateManager::msiProductVersion through the
// helper program. Whatever the helper meets, the caller gets a result: a
// version of at most 15 characters and no error, or a null string and
// exactly one error text.

#include "fuzzinput.h"
#include "update/msiprobepackages.h"
#include "update/updatemanager.h"

#include <QCoreApplication>
#include <QStringList>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication application(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static MsiProbePackages packages(QStringLiteral(BRINDLE_MSI_PROBE), 10000);
    const QString path = writeFuzzInput(QStringLiteral("package.msi"), data, size);

    QStringList errors;
    UpdateManagerSetup setup;
    setup.packages = &packages;
    UpdateManager manager(
        QStringLiteral("1.0.0"), [&errors](QString error) { errors << error; }, setup);
    const QString version = manager.msiProductVersion(path);
    if (version.isNull()) {
        FUZZ_CHECK(errors.size() == 1);
        FUZZ_CHECK(errors.first().startsWith(QLatin1String("Failed to ")));
    } else {
        FUZZ_CHECK(errors.isEmpty());
        FUZZ_CHECK(version.size() <= 15);
    }
    return 0;
}
