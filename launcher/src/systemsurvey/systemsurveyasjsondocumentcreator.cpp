#include "systemsurvey/systemsurveyasjsondocumentcreator.h"

#include "systemsurvey/systemsurveycreator.h"
#include "systemsurvey/systemsurveytojsonconverter.h"

namespace systemsurvey {

TSystemSurveyAsJsonDocumentCreator::TSystemSurveyAsJsonDocumentCreator(
    std::shared_ptr<TSystemSurveyCreator> SurveyCreator,
    std::shared_ptr<TSystemSurveyToJsonConverter> Converter)
    : m_SurveyCreator(std::move(SurveyCreator)), m_Converter(std::move(Converter)) {}

TSystemSurveyAsJsonDocumentCreator::~TSystemSurveyAsJsonDocumentCreator() = default;

QJsonDocument TSystemSurveyAsJsonDocumentCreator::create() const {
    return m_Converter->convertSystemSurveyDelegated(m_SurveyCreator->createSystemSurvey());
}

} // namespace systemsurvey
