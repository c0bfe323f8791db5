#include "export/queryrecord.h"

#include "query/querydocument.h"
#include "query/queryreader.h"

QueryRecord readQueryRecord(const QString &path)
{
    QueryRecord record;
    record.path = path;
    QString text = readQueryFile(path, &record.refusal);
    // The settings are all a record keeps: the document's text is never built.
    QueryDocument document;
    if (!text.isEmpty()) {
        document = planQueryDocument(text).document;
        text = QString();
        record.refusal = document.refusal;
    } else if (record.refusal.isEmpty()) {
        record.refusal = QStringLiteral("Unknown reason.");
    }
    record.serial = printerSerial(document, path);
    if (!record.wasRead())
        return record;
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
