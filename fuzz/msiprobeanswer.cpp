// The viewer's reading of the installer-package helper's answer, on
// arbitrary bytes: an answer is accepted only in its exact form, and what is
// accepted is a reading the update manager can use.

#include "fuzzinput.h"
#include "update/msiprobepackages.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray answer(reinterpret_cast<const char *>(data), int(size));
    ProductVersionReading reading;
    reading.value = "untouched";
    const bool parsed = MsiProbePackages::parseAnswer(answer, &reading);
    FUZZ_CHECK(parsed || reading.value == "untouched");
    if (!parsed)
        return 0;
    FUZZ_CHECK(reading.value.size() <= 15 && answer.endsWith('\n') && answer.count('\n') == 1);
    FUZZ_CHECK(reading.value.isEmpty() || (reading.openResult | reading.propertyResult) == 0);

    // The same reading written out again is read back unchanged.
    const QByteArray again = QByteArray::number(reading.openResult) + ' ' +
                             QByteArray::number(reading.propertyResult) +
                             " v:" + reading.value.toUtf8().toHex() + '\n';
    ProductVersionReading reread;
    FUZZ_CHECK(MsiProbePackages::parseAnswer(again, &reread));
    FUZZ_CHECK(reread.openResult == reading.openResult &&
               reread.propertyResult == reading.propertyResult && reread.value == reading.value);
    return 0;
}
