// Arbitrary bytes as an installer package, read the way the start-up check
// reads the published one: UpdateManager::msiProductVersion through the
// helper program. Whatever the helper meets, the caller gets a result: a
// version of at most 15 characters and no error, or a null string and
// exactly one error text.

#include "fuzzinput.h"
#include "update/msiprobepackages.h"
#include "update/updatemanager.h"

#include <QCoreApplication>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication application(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static MsiProbePackages packages(BRINDLE_MSI_PROBE, 10000);
    QStringList errors;
    UpdateManagerSetup setup;
    setup.packages = &packages;
    UpdateManager manager(
        "1.0.0", [&errors](QString error) { errors << error; }, setup);
    const QString version = manager.msiProductVersion(writeFuzzInput("package.msi", data, size));
    FUZZ_CHECK(version.isNull() ? errors.size() == 1 && errors.first().startsWith("Failed to ")
                                : errors.isEmpty() && version.size() <= 15);
    return 0;
}
