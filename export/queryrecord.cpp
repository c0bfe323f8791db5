#include "export/queryrecord.h"

#include "query/querydocument.h"
#include "query/queryreader.h"

QueryRecord readQueryRecord(const QString &path)
{
    QueryRecord record;
    record.path = path;
    QString reason;
    QString text = readQueryFile(path, &reason);
    if (text.isEmpty()) {
        record.refusal = reason.isEmpty() ? QStringLiteral("Unknown reason.") : reason;
        record.serial = printerSerial(QueryDocument(), path);
        return record;
    }
    QueryDocument document = assembleQueryDocument(std::move(text));
    record.serial = printerSerial(document, path);
    record.current = std::move(document.primary.entries);
    record.factory = std::move(document.shipped.entries);
    if (record.comparable())
        record.differences = diffSettings(record.factory, record.current);

    const QLatin1String modelKey("id-model-name");
    record.model = firstNonEmptyValue(record.current, modelKey);
    if (record.model.isNull())
        record.model = firstNonEmptyValue(record.factory, modelKey);
    return record;
}
