#pragma once

#include <QPalette>

// The application's fixed dark colour scheme, meant to be installed after the
// Fusion style (setting a style resets the application palette).
QPalette darkPalette();

// The palette of tool tips: darkPalette gives them white text on white, so
// they get a dark background of their own. Installed with QToolTip::setPalette.
QPalette darkToolTipPalette();
