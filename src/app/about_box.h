#pragma once

#include <QString>

class QWizard;

namespace pictavo::app {

// "Pictavo Photo Recovery 0.1.0" and what the program does; the version is the project's.
QString AboutText();

// Adds an "About" button to the sheet's button row (its layout must hold CustomButton2), shown
// on the main page only; it shows AboutText in a message box.
void AddAboutButton(QWizard* sheet);

}  // namespace pictavo::app
