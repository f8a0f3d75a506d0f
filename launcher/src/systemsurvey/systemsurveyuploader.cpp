#include "systemsurvey/systemsurveyuploader.h"

#include "shared/machineidentifier.h"
#include "systemsurvey/jsondocumenthttppostsender.h"
#include "systemsurvey/systemsurveyasjsondocumentcreator.h"
#include "systemsurvey/systemsurveycreator.h"
#include "systemsurvey/systemsurveytojsonconverter.h"
#include "systemsurvey/systemsurveyvalueretriever.h"

#include <QDebug>
#include <QtConcurrent>

namespace systemsurvey {

TSystemSurveyUploader::TSystemSurveyUploader(
    const QUrl& Url, std::shared_ptr<TSystemSurveyAsJsonDocumentCreator> DocumentCreator,
    std::shared_ptr<shared::TJsonDocumentHttpPostSender> Sender, QObject* Parent)
    : shared::TJsonDocumentUploaderBase(std::move(Sender), Parent), m_Url(Url),
      m_DocumentCreator(std::move(DocumentCreator)) {
    connect(&m_DocumentWatcher, &QFutureWatcher<QJsonDocument>::finished, this,
            &TSystemSurveyUploader::onDocumentCreated);
    connect(this, &shared::TJsonDocumentUploaderBase::finished, this,
            [this](bool UploadSuccessful, const QJsonDocument&) {
                m_Busy = false;
                logOutcome(UploadSuccessful);
            });
}

TSystemSurveyUploader::~TSystemSurveyUploader() {
    // The base class releases the sender after this part is gone; nothing may call back into it.
    QObject::disconnect(this, nullptr, this, nullptr);
}

bool TSystemSurveyUploader::isUsableEndpoint(const QUrl& Url) {
    const QString scheme = Url.scheme().toLower();
    return Url.isValid() && !Url.host().isEmpty() &&
           (scheme == QLatin1String("http") || scheme == QLatin1String("https"));
}

std::unique_ptr<TSystemSurveyUploader> TSystemSurveyUploader::createForThisSystem(const QUrl& Url) {
    const auto valueRetriever = TSystemSurveyValueRetriever::createForThisSystem();
    const auto surveyCreator = std::make_shared<TSystemSurveyCreator>(valueRetriever);
    const auto converter = std::make_shared<TSystemSurveyToJsonConverter>();
    const auto documentCreator =
        std::make_shared<TSystemSurveyAsJsonDocumentCreator>(surveyCreator, converter);
    const auto sender = std::make_shared<shared::TJsonDocumentHttpPostSender>();
    return std::make_unique<TSystemSurveyUploader>(Url, documentCreator, sender);
}

void TSystemSurveyUploader::requestsSystemSurveyAndUploadToServer() {
    // The machine identifier caches itself on first use; computing it here, on this thread,
    // leaves the worker only reading it.
    shared::TMachineIdentifier::getUniqueIdentifier();
    m_Busy = true;
    const std::shared_ptr<TSystemSurveyAsJsonDocumentCreator> creator = m_DocumentCreator;
    m_DocumentWatcher.setFuture(QtConcurrent::run([creator]() { return creator->create(); }));
}

void TSystemSurveyUploader::onDocumentCreated() {
    if (m_DocumentWatcher.isCanceled()) {
        m_Busy = false;
        return;
    }
    post(m_Url, m_DocumentWatcher.result());
}

void TSystemSurveyUploader::logOutcome(bool UploadSuccessful) {
    if (UploadSuccessful)
        qInfo().noquote() << QStringLiteral("System survey uploaded to %1").arg(m_Url.toString());
    else
        qWarning().noquote() << QStringLiteral("System survey upload to %1 failed (error code %2): %3")
                                    .arg(m_Url.toString())
                                    .arg(getErrorCode())
                                    .arg(getErrorMessage());
}

} // namespace systemsurvey
