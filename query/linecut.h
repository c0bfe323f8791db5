#pragma once

#include <QString>

// A line shown in at most limit characters: line itself when it is no
// longer, else its first limit characters (one fewer where the cut would
// split a surrogate pair) followed by the marker of moreCharactersMarker,
// "… [N more characters]", for the rest.
QString cutLine(const QString &line, int limit);
