#include "shared/translationmanager.h"

#include <QCoreApplication>

namespace quarn::shared {

TTranslationManager::~TTranslationManager() {
    removeEnglishTranslation();
}

void TTranslationManager::loadEnglishTranslation() {
    removeEnglishTranslation();
    m_Translator = std::make_unique<QTranslator>();
    // Inside an application bundle the catalogue lives in Contents/Resources, next to the
    // executable's Contents/MacOS folder.
    const QString directory = QCoreApplication::applicationDirPath() + QStringLiteral("/../Resources/");
    if (m_Translator->load(QStringLiteral("launcher.en"), directory))
        QCoreApplication::installTranslator(m_Translator.get());
}

void TTranslationManager::removeEnglishTranslation() {
    if (m_Translator) {
        QCoreApplication::removeTranslator(m_Translator.get());
        m_Translator.reset();
    }
}

} // namespace quarn::shared
