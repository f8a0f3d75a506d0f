#pragma once

#include <QJsonDocument>

#include <memory>

namespace systemsurvey {

class TSystemSurveyCreator;
class TSystemSurveyToJsonConverter;

// Collects the survey and converts it into its JSON document.
class TSystemSurveyAsJsonDocumentCreator {
public:
    TSystemSurveyAsJsonDocumentCreator(std::shared_ptr<TSystemSurveyCreator> SurveyCreator,
                                       std::shared_ptr<TSystemSurveyToJsonConverter> Converter);
    virtual ~TSystemSurveyAsJsonDocumentCreator();

    // Synchronous: runs every query of the value source.
    virtual QJsonDocument create() const;

private:
    std::shared_ptr<TSystemSurveyCreator> m_SurveyCreator;
    std::shared_ptr<TSystemSurveyToJsonConverter> m_Converter;
};

} // namespace systemsurvey
