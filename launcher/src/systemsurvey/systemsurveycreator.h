#pragma once

#include "systemsurvey/systemsurvey.h"

#include <memory>

namespace systemsurvey {

class TSystemSurveyValueRetriever;

// Assembles the survey record from a value source and leaves out screens without area.
class TSystemSurveyCreator {
public:
    explicit TSystemSurveyCreator(std::shared_ptr<TSystemSurveyValueRetriever> ValueRetriever);
    virtual ~TSystemSurveyCreator();

    virtual TSystemSurvey createSystemSurvey() const;

    // The monitors for which isValid() holds, order kept.
    static TMonitorInformationVector filterOutInvalidMonitors(const TMonitorInformationVector& Monitors);

private:
    std::shared_ptr<TSystemSurveyValueRetriever> m_ValueRetriever;
};

} // namespace systemsurvey
