#pragma once

#include <QObject>
#include <QStringList>

// An immutable version number: the text split at every "." into components,
// kept exactly as written. Two versions are ordered component by component as
// integers; a component holding the release-candidate marker "rc" ranks below
// any component without it, so "1.2.rc1" is older than "1.2". Every text,
// the empty one included, makes a valid version; nothing is rejected.
class Version : public QObject
{
    Q_OBJECT

public:
    explicit Version(const QString &text);

    // True when there is at least one component, which is always the case.
    bool isValid() const;
    int componentCount() const;
    // The components joined with "."; equals the text the version was made from.
    QString toString() const;
    // Whether the last component carries the "rc" marker (case-sensitive).
    bool isReleaseCandidate() const;

    // -1 when this version is older than other, 0 when they rank equal, +1 when
    // newer. Antisymmetric: a.compare(b) == -b.compare(a) for every pair.
    int compare(const Version &other) const;
    bool operator==(const Version &other) const;
    bool operator<(const Version &other) const;

private:
    const QStringList components;
};
