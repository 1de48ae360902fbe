#pragma once

// What a screen reader tells about each control of the main window.

#include <QString>

class QWidget;

namespace vettrix {

// Gives the window's controls their accessible names and descriptions. Controls whose own text
// says what they are (buttons, check boxes, headings) keep it as their name.
void DescribeControls(QWidget& window);

// A label that shows only a value (the verdict, a field of the IMEI) is read as its name and the
// value it shows now, e.g. "Verdict: VALID".
void ShowAccessibleValue(QWidget& label, const QString& shown);

}  // namespace vettrix
