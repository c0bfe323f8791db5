#pragma once

#include <QString>

// Rules for single version components, used by Version; not meant for other
// callers.

// Whether "rc" occurs anywhere in the component (case-sensitive).
bool hasReleaseCandidateMarker(const QString &component);
// The component with every "rc" removed: "2rc1" -> "21", "rc" -> "".
QString withoutReleaseCandidateMarker(const QString &component);
// Three-way order of two components: a marked component ranks below an
// unmarked one, then values compare as 32-bit integers, and a non-numeric
// component ranks below any numeric one and equal to any other non-numeric one.
int compareComponents(const QString &a, const QString &b);
