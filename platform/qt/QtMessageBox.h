#pragma once

// Makes ShowMessageBox open a real modal box (owner, text, the given title, an OK button).
// Boxes asked for from another thread are shown on the UI thread.
void InstallQtMessageBox();
