#pragma once

#include <QString>

// The version of the installed application, as the installer recorded it
// machine-wide: on Windows the registry value "Version" of the application's
// key (the 32-bit view as a fallback), elsewhere the value "Version" of the
// system-wide settings file written by the installation. Empty when the
// program was never installed.
QString readInstalledVersion();
