#pragma once

#include "app/Form1.h"
#include "validate/ReportingBodies.h"

namespace vettrix {

// Shows the reporting body of CurrentIMEI in Label9 and ticks its boxes, clearing all others.
void CheckRBI(Form1& form);

}  // namespace vettrix
