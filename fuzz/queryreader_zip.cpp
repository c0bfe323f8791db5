// The query reader on arbitrary bytes stored as a ".zip" file.

#include "fuzzinput.h"
#include "query/queryreader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FUZZ_CHECK(!readQueryFile(writeFuzzInput("query.zip", data, size)).contains(QChar(0)));
    return 0;
}
