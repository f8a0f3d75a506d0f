#include "systemsurvey/systemsurvey.h"

namespace systemsurvey {

const QString TOperatingSystemInformation::UNIDENTIFIED_WINDOWS = QStringLiteral("Unidentified Windows");
const QString TOperatingSystemInformation::UNIDENTIFIED_MAC = QStringLiteral("Unidentified Mac");
const QString TOperatingSystemInformation::UNIDENTIFIED_LINUX = QStringLiteral("Unidentified Linux");

} // namespace systemsurvey
