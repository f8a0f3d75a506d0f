#include "systemsurvey/monitorvalueretriever.h"

#include <QGuiApplication>
#include <QScreen>

namespace systemsurvey {

namespace {

QList<QScreen*> applicationScreens() {
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) == nullptr)
        return {};
    return QGuiApplication::screens();
}

quint64 nonNegative(int Value) {
    return Value > 0 ? quint64(Value) : 0;
}

TMonitorInformation describe(const QScreen* Screen, bool Primary) {
    const QRect geometry = Screen->geometry();
    const qreal refreshRate = Screen->refreshRate();
    // Truncated; a screen that reports nonsense (negative, not a number) gets 0.
    const quint64 wholeRate = refreshRate >= 1.0 && refreshRate < 1.0e9 ? quint64(refreshRate) : 0;
    return TMonitorInformation(nonNegative(geometry.width()), nonNegative(geometry.height()), Primary,
                               wholeRate);
}

} // namespace

unsigned long TMonitorValueRetriever::getNumberOfMonitors() {
    return static_cast<unsigned long>(applicationScreens().size());
}

unsigned long TMonitorValueRetriever::getPrimaryMonitorID() {
    const QList<QScreen*> screens = applicationScreens();
    const int index = screens.indexOf(QGuiApplication::primaryScreen());
    return index < 0 ? static_cast<unsigned long>(screens.size()) : static_cast<unsigned long>(index);
}

bool TMonitorValueRetriever::getMoniorInformation(unsigned long Index, TMonitorInformation& Information) {
    const QList<QScreen*> screens = applicationScreens();
    if (Index >= static_cast<unsigned long>(screens.size()))
        return false;
    const QScreen* screen = screens.at(static_cast<int>(Index));
    Information = describe(screen, screen == QGuiApplication::primaryScreen());
    return true;
}

TMonitorInformationVector TMonitorValueRetriever::getAllMonitorsInformation() {
    const QList<QScreen*> screens = applicationScreens();
    const QScreen* primary = screens.isEmpty() ? nullptr : QGuiApplication::primaryScreen();
    TMonitorInformationVector monitors;
    monitors.reserve(static_cast<size_t>(screens.size()));
    for (const QScreen* screen : screens)
        monitors.push_back(describe(screen, screen == primary));
    return monitors;
}

} // namespace systemsurvey
