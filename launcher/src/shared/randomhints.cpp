#include "shared/randomhints.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QtDebug>

namespace shared {

QDateTime ParseDateTimeWithDefault(const QJsonValue& value, const QDateTime& defaultValue) {
    const QDateTime parsed = QDateTime::fromString(value.toString(), DATE_FORMAT);
    return parsed.isValid() ? parsed : defaultValue;
}

THint::THint(const QJsonObject& object)
    : m_title(object.value(QLatin1String("title")).toString()),
      m_richText(object.value(QLatin1String("richText")).toString()),
      m_imageUrl(object.value(QLatin1String("imageUrl")).toString()),
      m_category(object.value(QLatin1String("category")).toString()),
      m_url(object.value(QLatin1String("url")).toString()),
      m_displayAfter(ParseDateTimeWithDefault(object.value(QLatin1String("displayAfter")), INVALID_DATETIME)),
      m_displayUntil(ParseDateTimeWithDefault(object.value(QLatin1String("displayUntil")), INVALID_DATETIME)),
      m_hasEmergencyFlag(object.contains(QLatin1String("emergency"))),
      m_emergency(object.value(QLatin1String("emergency")).toBool(false)) {}

void THint::overrideLinkColor() {
    if (!m_richText.isEmpty()) {
        m_richText.prepend(QLatin1String("<style>a { color: #c0c0c0; }</style>"));
    }
}

bool THint::hasTimeConstraints() const {
    return m_displayAfter.isValid() || m_displayUntil.isValid();
}

bool THint::canBeDisplayedAtGivenTime(const QDateTime& time) const {
    if (m_displayAfter.isValid() && time < m_displayAfter) {
        return false;
    }
    if (m_displayUntil.isValid() && m_displayUntil < time) {
        return false;
    }
    return true;
}

std::vector<THint> parseHints(const QByteArray& data) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(data, &error);
    if (error.error != QJsonParseError::NoError) {
        qWarning() << "Could not parse hints file at offset" << error.offset << ":" << error.errorString();
        return {};
    }
    std::vector<THint> hints;
    const QJsonArray array = document.array();
    for (const QJsonValue& element : array) {
        THint hint(element.toObject());
        hint.overrideLinkColor();
        if (!hint.richText().isEmpty()) {
            hints.push_back(std::move(hint));
        }
    }
    return hints;
}

std::optional<THint> selectHintToBeDisplayed(const std::vector<THint>& hints, const QDateTime& now) {
    for (const THint& hint : hints) {
        if (hint.hasEmergencyFlag() && hint.isEmergency()) {
            return hint;
        }
    }
    std::vector<const THint*> candidates;
    for (const THint& hint : hints) {
        if (!hint.hasEmergencyFlag() && hint.canBeDisplayedAtGivenTime(now)) {
            candidates.push_back(&hint);
        }
    }
    for (const THint* candidate : candidates) {
        if (candidate->hasTimeConstraints()) {
            return *candidate;
        }
    }
    if (candidates.empty()) {
        return std::nullopt;
    }
    const quint64 milliseconds = static_cast<quint64>(now.toMSecsSinceEpoch());
    return *candidates[static_cast<size_t>(milliseconds % candidates.size())];
}

} // namespace shared
