#include "update/version.h"
#include "update/versioncomponents.h"

#include <algorithm>

namespace {
const QString releaseCandidateMarker = QStringLiteral("rc");
}

bool hasReleaseCandidateMarker(const QString &component)
{
    return component.indexOf(releaseCandidateMarker, 0, Qt::CaseSensitive) >= 0;
}

QString withoutReleaseCandidateMarker(const QString &component)
{
    return QString(component).remove(releaseCandidateMarker, Qt::CaseSensitive);
}

int compareComponents(const QString &a, const QString &b)
{
    if (a == b)
        return 0;

    QString left = a;
    QString right = b;
    const bool leftMarked = hasReleaseCandidateMarker(left);
    const bool rightMarked = hasReleaseCandidateMarker(right);
    if (leftMarked != rightMarked)
        return leftMarked ? -1 : 1;
    if (leftMarked) {
        left = withoutReleaseCandidateMarker(left);
        right = withoutReleaseCandidateMarker(right);
    }

    bool leftNumeric = false;
    bool rightNumeric = false;
    const int leftValue = left.toInt(&leftNumeric, 10);
    const int rightValue = right.toInt(&rightNumeric, 10);
    if (!leftNumeric)
        return rightNumeric ? -1 : 0;
    if (!rightNumeric)
        return 1;
    if (leftValue != rightValue)
        return leftValue < rightValue ? -1 : 1;
    return 0;
}

Version::Version(const QString &text)
    : QObject(nullptr)
    , components(text.split(QLatin1Char('.'), Qt::KeepEmptyParts, Qt::CaseSensitive))
{
}

bool Version::isValid() const
{
    return !components.isEmpty();
}

int Version::componentCount() const
{
    return components.size();
}

QString Version::toString() const
{
    return components.join(QLatin1Char('.'));
}

bool Version::isReleaseCandidate() const
{
    return !components.isEmpty() && hasReleaseCandidateMarker(components.last());
}

int Version::compare(const Version &other) const
{
    const int common = std::min(componentCount(), other.componentCount());
    for (int i = 0; i < common; ++i) {
        const int result = compareComponents(components.at(i), other.components.at(i));
        if (result != 0)
            return result;
    }
    // A longer version that extends this one is newer, unless it ends in a
    // release candidate of it.
    if (other.componentCount() > componentCount())
        return other.isReleaseCandidate() ? 1 : -1;
    if (componentCount() > other.componentCount())
        return isReleaseCandidate() ? -1 : 1;
    return 0;
}

bool Version::operator==(const Version &other) const
{
    return compare(other) == 0;
}

bool Version::operator<(const Version &other) const
{
    return compare(other) == -1;
}
