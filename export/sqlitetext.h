#pragma once

// Text and settings in and out of SQLite statements, for the export's own
// files.

#include "settings/settingsdecoder.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <sqlite3.h>

// Binds text for the next step only: the string must live until then. A
// null string binds NULL.
inline void bindText(sqlite3_stmt *statement, int index, const QString &text)
{
    if (text.isNull())
        sqlite3_bind_null(statement, index);
    else
        sqlite3_bind_text16(statement, index, text.utf16(), text.size() * 2, SQLITE_STATIC);
}

// Binds bytes as a blob for the next step only: they must live until then.
inline void bindBlob(sqlite3_stmt *statement, int index, const QByteArray &bytes)
{
    sqlite3_bind_blob(statement, index, bytes.constData(), bytes.size(), SQLITE_STATIC);
}

// A column's text; null for NULL.
inline QString columnText(sqlite3_stmt *statement, int index)
{
    if (sqlite3_column_type(statement, index) == SQLITE_NULL)
        return QString();
    const void *text = sqlite3_column_text16(statement, index);
    return QString::fromUtf16(static_cast<const char16_t *>(text),
                              sqlite3_column_bytes16(statement, index) / 2);
}

inline QByteArray columnBlob(sqlite3_stmt *statement, int index)
{
    return QByteArray(static_cast<const char *>(sqlite3_column_blob(statement, index)),
                      sqlite3_column_bytes(statement, index));
}

// A stored setting appended to its side: column sideColumn holds the side (0
// current, anything else factory, whatever a database holds), the key and
// the value follow from keyColumn.
inline SettingEntry &appendColumnSetting(sqlite3_stmt *statement, int sideColumn, int keyColumn,
                                         QVector<SettingEntry> *current,
                                         QVector<SettingEntry> *factory)
{
    QVector<SettingEntry> *side =
        sqlite3_column_int(statement, sideColumn) != 0 ? factory : current;
    SettingEntry setting;
    setting.key = columnText(statement, keyColumn);
    setting.value = columnText(statement, keyColumn + 1);
    setting.group = settingGroup(setting.key);
    side->append(setting);
    return side->last();
}
