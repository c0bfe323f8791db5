#include "query/viewerarguments.h"

#include <QFileInfo>

ViewerArguments viewerArguments(const QStringList &arguments)
{
    const QString option = QStringLiteral("--history");
    const QString assigned = QStringLiteral("--history=");
    ViewerArguments result;
    bool historyGiven = false;
    QString history;
    bool fileSeen = false;
    for (int i = 1; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (argument == option) {
            historyGiven = true;
            history = arguments.value(++i);
        } else if (argument.startsWith(assigned)) {
            historyGiven = true;
            history = argument.mid(assigned.size());
        } else if (!fileSeen) {
            fileSeen = true;
            result.file = argument;
        }
    }
    if (historyGiven && history.isEmpty())
        result.error = QStringLiteral("--history needs a database.");
    else if (historyGiven)
        result.historyDatabase = QFileInfo(history).absoluteFilePath();
    return result;
}
