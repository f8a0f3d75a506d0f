#include "systemsurvey/systemsurveycreator.h"

#include "systemsurvey/systemsurveyvalueretriever.h"

#include <algorithm>
#include <iterator>

namespace systemsurvey {

TSystemSurveyCreator::TSystemSurveyCreator(std::shared_ptr<TSystemSurveyValueRetriever> ValueRetriever)
    : m_ValueRetriever(std::move(ValueRetriever)) {}

TSystemSurveyCreator::~TSystemSurveyCreator() = default;

TSystemSurvey TSystemSurveyCreator::createSystemSurvey() const {
    const TMonitorInformationVector monitors =
        filterOutInvalidMonitors(m_ValueRetriever->getAllMonitorsInformation());
    const TOperatingSystemInformation operatingSystem = m_ValueRetriever->getOperatingSystemInformation();
    const quint64 mainMemorySize = m_ValueRetriever->getMainMemorySize();
    const TCPUInformation cpu = m_ValueRetriever->getCPUInformation();
    const TGPUInformationVector gpus = m_ValueRetriever->getAllGPUInformation();
    return TSystemSurvey(monitors, operatingSystem, mainMemorySize, cpu, gpus);
}

TMonitorInformationVector
TSystemSurveyCreator::filterOutInvalidMonitors(const TMonitorInformationVector& Monitors) {
    TMonitorInformationVector valid;
    std::copy_if(Monitors.begin(), Monitors.end(), std::back_inserter(valid),
                 [](const TMonitorInformation& monitor) { return monitor.isValid(); });
    return valid;
}

} // namespace systemsurvey
