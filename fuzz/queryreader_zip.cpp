// The query reader on arbitrary bytes stored as a ".zip" file.

#include "fuzzinput.h"
#include "query/queryreader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = readQueryFile(writeFuzzInput(QStringLiteral("query.zip"), data, size));
    FUZZ_CHECK(!text.contains(QChar(0)));
    return 0;
}
