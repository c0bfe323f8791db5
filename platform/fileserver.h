#pragma once

#include <QString>

// The path of a folder or file on the company file server, given as its
// Windows share path with a leading backslash ("\Share\Folder\file.msi").
// On Windows this is the UNC path \\<server>\Share\Folder\file.msi; elsewhere
// the server's shares are mounted below a directory and the path is that
// directory joined with the share path in forward slashes. The server is
// fixed when the program is built.
QString fileServerPath(const QString &sharePath);
