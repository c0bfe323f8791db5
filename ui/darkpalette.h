#pragma once

#include <QPalette>

// The application's fixed dark colour scheme, meant to be installed after the
// Fusion style (setting a style resets the application palette).
QPalette darkPalette();
