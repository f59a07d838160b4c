#pragma once

#include <istream>
#include <ostream>

// The console dialogue of the reset tool. Every line is written with its line
// end and flushed on its own, so that a user (or a program driving the tool)
// sees each line as soon as it is printed.

// The banner and the boxed instruction to pause tracking, ending with the
// empty line after the box.
void WriteBanner(std::ostream& out);

// Only the first lines of the banner, the title and its rule with the empty
// line after them: the unattended run has no box to press Enter in.
void WriteTitle(std::ostream& out);

// Waits for Enter. Any key sequence that ends with Enter continues; end of
// input (or an unreadable input) continues as well.
void WaitForEnter(std::istream& in);

// The request to plug in the controller and the empty line after it.
void WritePlugInRequest(std::ostream& out);
