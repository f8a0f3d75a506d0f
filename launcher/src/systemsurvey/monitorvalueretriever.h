#pragma once

#include "systemsurvey/systemsurvey.h"

namespace systemsurvey {

// The screens of the running GUI application. Everything is taken from one list, the
// application's screens, so that a count and the entries it indexes always agree. Must be called
// on the GUI thread; without a GUI application there are no screens.
class TMonitorValueRetriever {
public:
    static unsigned long getNumberOfMonitors();
    // Index of the primary screen in that list; equal to the number of monitors when there is none.
    static unsigned long getPrimaryMonitorID();
    // False (and Information untouched) when Index names no screen.
    static bool getMoniorInformation(unsigned long Index, TMonitorInformation& Information);
    static TMonitorInformationVector getAllMonitorsInformation();
};

} // namespace systemsurvey
