// Writes the bundled sample query archive: brindle-makesample OUT.zip
#include "queryfixture.h"
#include "samplequery.h"

#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    QTextStream err(stderr);
    if (arguments.size() != 2) {
        err << "usage: brindle-makesample OUT.zip\n";
        return 2;
    }
    SampleQueryOptions options;
    options.settingsPerSection = 400;
    options.logBytes = 96 * 1024;
    options.changedSettings = 6;
    if (!writeZip(arguments.at(1),
                  {{QStringLiteral("query/BQ0000000001.txt"), buildSampleQuery(options)}})) {
        err << "cannot write " << arguments.at(1) << '\n';
        return 1;
    }
    return 0;
}
