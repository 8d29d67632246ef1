// The current local date, as the program shows it.
#pragma once

namespace app {

// Year of the current local date (Gregorian).
int currentLocalYear();

}  // namespace app
