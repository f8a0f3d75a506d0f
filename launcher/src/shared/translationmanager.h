#pragma once

#include <QTranslator>

#include <memory>

// The common library lives in ::shared. Code inside quarn that writes shared::X would find this
// namespace first once this header is included; the using-directive lets such names resolve to
// the common library whatever the order of the includes.
namespace shared {}

namespace quarn::shared {

using namespace ::shared;

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
