#pragma once

#include <QString>

namespace quarn::launcher {

// The launcher's own version: logged at start, shown in the main window and compared with the
// launcher package's version on the update service.
inline const QString LAUNCHER_VERSION = QStringLiteral("0.0.9");

} // namespace quarn::launcher
