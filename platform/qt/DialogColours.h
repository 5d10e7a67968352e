#pragma once

#include <QColor>

class QWidget;

// The program's window colours. Dialogs (and the labels inside the login dialog) are teal with
// black text; the main window, the login dialog and the switching panel are blue. Edits, lists
// and push buttons keep Qt's own colours.
inline constexpr QRgb kDialogBackground = qRgb(20, 133, 127);
inline constexpr QRgb kDialogText = qRgb(0, 0, 0);
inline constexpr QRgb kWindowBackground = qRgb(80, 133, 175);

// Gives `widget` the dialog background and black text; its children inherit the text colour.
void ApplyDialogColours(QWidget* widget);

// Fills `widget`'s background with `colour`, leaving its text colour alone.
void ApplyBackground(QWidget* widget, QRgb colour);
