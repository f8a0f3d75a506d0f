#pragma once

#include <QTranslator>

#include <memory>

namespace quarn::shared {

// Holds the English translation catalogue of the user interface texts, if one is installed.
class TTranslationManager {
public:
    TTranslationManager() = default;
    ~TTranslationManager();
    TTranslationManager(const TTranslationManager&) = delete;
    TTranslationManager& operator=(const TTranslationManager&) = delete;

    // Loads "launcher.en" from the bundle's resources folder; a missing catalogue is not an error.
    void loadEnglishTranslation();
    void removeEnglishTranslation();

private:
    std::unique_ptr<QTranslator> m_Translator;
};

} // namespace quarn::shared
