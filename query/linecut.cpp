#include "query/linecut.h"

#include "query/viewtext.h"

QString cutLine(const QString &line, int limit)
{
    if (line.size() <= limit)
        return line;
    const int keep = limit - (limit > 0 && line.at(limit - 1).isHighSurrogate() ? 1 : 0);
    return line.left(keep) + moreCharactersMarker(QStringView(line).mid(keep));
}
