#include "export/queryrecord.h"

#include "query/querydocument.h"
#include "query/queryreader.h"

#include <QFileInfo>

namespace {

QVector<QuerySetting> sectionSettings(const QVector<QStringRef> &lines)
{
    const SettingPattern pattern;
    QVector<QuerySetting> settings;
    settings.reserve(lines.size());
    QuerySetting setting;
    for (const QStringRef &line : lines) {
        if (pattern.match(line, &setting.key, &setting.value)) {
            setting.group = settingGroup(setting.key);
            settings.append(setting);
        }
    }
    return settings;
}

QString firstValue(const QVector<QuerySetting> &settings, QLatin1String key)
{
    for (const QuerySetting &setting : settings) {
        if (setting.key == key)
            return setting.value;
    }
    return QString();
}

QString fileNameSerial(const QString &path)
{
    const QString name = QFileInfo(path).fileName();
    if (name.endsWith(QLatin1String(".zip")) || name.endsWith(QLatin1String(".txt")))
        return name.chopped(4);
    return name;
}

} // namespace

QueryRecord readQueryRecord(const QString &path)
{
    QueryRecord record;
    record.path = path;
    QString reason;
    const QString text = readQueryFile(path, &reason);
    if (text.isEmpty()) {
        record.refusal = reason.isEmpty() ? QStringLiteral("Unknown reason.") : reason;
        record.serial = fileNameSerial(path);
        return record;
    }
    const QVector<QStringRef> currentLines =
        settingsSectionLines(text, QString(primarySettingsMarker));
    const QVector<QStringRef> factoryLines =
        settingsSectionLines(text, QString(shippedSettingsMarker));
    record.current = sectionSettings(currentLines);
    record.factory = sectionSettings(factoryLines);
    record.hasCurrent = !record.current.isEmpty();
    record.hasFactory = !record.factory.isEmpty();
    if (record.comparable())
        record.differences = diffSettingSections(factoryLines, currentLines);

    const QLatin1String serialKey("id-printer-serial");
    const QLatin1String modelKey("id-model-name");
    record.serial = firstValue(record.current, serialKey);
    if (record.serial.isEmpty())
        record.serial = fileNameSerial(path);
    record.model = firstValue(record.current, modelKey);
    if (record.model.isNull())
        record.model = firstValue(record.factory, modelKey);
    return record;
}
