// The query reader on arbitrary bytes stored as a ".txt" file. The reader
// decodes in chunks, so half of the inputs are placed just behind a run of
// ASCII that ends up to 127 bytes before a chunk boundary: the decoded text
// must not depend on where the chunks fall. Zero bytes read as U+FFFD; in a
// text whose lone CRs outnumber its line feeds, those CRs read as line feeds.

#include "fuzzinput.h"
#include "query/queryreader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QByteArray bytes;
    if (size > 0 && (data[0] & 1)) {
        bytes.fill('a', queryReadChunkSize - (data[0] >> 1));
        ++data;
        --size;
    }
    bytes.append(reinterpret_cast<const char *>(data), int(size));

    const auto *raw = reinterpret_cast<const uint8_t *>(bytes.constData());
    const QString text = readQueryFile(writeFuzzInput("query.txt", raw, size_t(bytes.size())));
    // With an explicit size, so that the decoding runs past zero bytes.
    QString expected = QString::fromUtf8(bytes.constData(), bytes.size())
                           .replace(QChar(0), QChar::ReplacementCharacter);
    int loneCRs = 0;
    for (int i = 0; i < expected.size(); ++i)
        loneCRs += expected.at(i) == '\r' && expected.mid(i + 1, 1) != "\n";
    if (loneCRs > expected.count('\n')) {
        for (int i = 0; i < expected.size(); ++i) {
            if (expected.at(i) == '\r' && expected.mid(i + 1, 1) != "\n")
                expected[i] = '\n';
        }
    }
    FUZZ_CHECK(text == expected);
    return 0;
}
