#pragma once

#include "systemsurvey/jsondocumentuploaderbase.h"

#include <QFutureWatcher>
#include <QJsonDocument>
#include <QUrl>

#include <memory>

namespace systemsurvey {

class TSystemSurveyAsJsonDocumentCreator;

// Collects the survey and posts it to the survey endpoint; logs one line with the outcome.
class TSystemSurveyUploader : public shared::TJsonDocumentUploaderBase {
    Q_OBJECT
public:
    TSystemSurveyUploader(const QUrl& Url,
                          std::shared_ptr<TSystemSurveyAsJsonDocumentCreator> DocumentCreator,
                          std::shared_ptr<shared::TJsonDocumentHttpPostSender> Sender,
                          QObject* Parent = nullptr);
    ~TSystemSurveyUploader() override;

    // An endpoint the survey may be posted to: a valid absolute http or https URL.
    static bool isUsableEndpoint(const QUrl& Url);
    // The uploader for this machine: its value source, survey creator, converter, document
    // creator and sender. Must be called on the GUI thread (the screens are read here).
    static std::unique_ptr<TSystemSurveyUploader> createForThisSystem(const QUrl& Url);

    // Returns at once: the survey is collected on a worker thread (its helper programs may take
    // seconds) and posted from this object's thread when it is ready. A survey still being
    // collected when this object is destroyed is dropped.
    virtual void requestsSystemSurveyAndUploadToServer();

    const QUrl& getUrl() const { return m_Url; }
    // A survey is being collected or posted: finished() is still to come.
    bool isBusy() const { return m_Busy; }

private:
    void onDocumentCreated();
    void logOutcome(bool UploadSuccessful);

    QUrl m_Url;
    std::shared_ptr<TSystemSurveyAsJsonDocumentCreator> m_DocumentCreator;
    QFutureWatcher<QJsonDocument> m_DocumentWatcher;
    bool m_Busy = false;
};

} // namespace systemsurvey
