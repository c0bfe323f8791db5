// Version on two texts separated by the first line feed.

#include "update/version.h"
#include "fuzzinput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes =
        QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    const int split = bytes.indexOf('\n');
    const QString textA = QString::fromUtf8(split < 0 ? bytes : bytes.left(split));
    const QString textB = split < 0 ? QString() : QString::fromUtf8(bytes.mid(split + 1));
    const Version a(textA);
    const Version b(textB);

    FUZZ_CHECK(a.toString() == textA && b.toString() == textB && a.isValid());
    FUZZ_CHECK(a.componentCount() == textA.count('.') + 1);

    const int ab = a.compare(b);
    FUZZ_CHECK((ab == -1 || ab == 0 || ab == 1) && ab == -b.compare(a) && a.compare(a) == 0);
    FUZZ_CHECK((a == b) == (ab == 0) && (a < b) == (ab == -1));
    return 0;
}
