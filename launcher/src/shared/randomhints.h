#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <optional>
#include <vector>

namespace shared {

// ISO 8601, e.g. 2023-05-01T12:00:00Z; a time without zone designator is local time.
constexpr Qt::DateFormat DATE_FORMAT = Qt::ISODate;
// A default-constructed, invalid date-time: no bound.
inline const QDateTime INVALID_DATETIME;

// The value's string parsed with DATE_FORMAT, or defaultValue when that gives no valid date-time.
QDateTime ParseDateTimeWithDefault(const QJsonValue& value, const QDateTime& defaultValue);

// One item of the hints document: a picture, a one-line rich-text caption, a link and the tile
// ("cat1", "cat2" or "cat3") it belongs to.
class THint {
public:
    THint() = default;
    explicit THint(const QJsonObject& object);

    // Puts a style element in front of a non-empty caption so that its links are light grey.
    void overrideLinkColor();
    bool hasTimeConstraints() const;
    bool canBeDisplayedAtGivenTime(const QDateTime& time) const;

    const QString& title() const { return m_title; }
    const QString& richText() const { return m_richText; }
    const QString& imageUrl() const { return m_imageUrl; }
    const QString& category() const { return m_category; }
    const QString& url() const { return m_url; }
    const QDateTime& displayAfter() const { return m_displayAfter; }
    const QDateTime& displayUntil() const { return m_displayUntil; }
    bool hasEmergencyFlag() const { return m_hasEmergencyFlag; }
    bool isEmergency() const { return m_emergency; }

private:
    QString m_title;
    QString m_richText;
    QString m_imageUrl;
    QString m_category;
    QString m_url;
    QDateTime m_displayAfter;
    QDateTime m_displayUntil;
    bool m_hasEmergencyFlag = false;
    bool m_emergency = false;
};

// The hints of a document whose top level is an array, in document order; hints without caption
// are dropped. A document that is not JSON gives a warning and no hints.
std::vector<THint> parseHints(const QByteArray& data);

// The first emergency hint; otherwise, among the hints without "emergency" key that may be shown
// at now, the first one with display times, or else the one at now's milliseconds since the epoch
// modulo their count. None when nothing qualifies.
std::optional<THint> selectHintToBeDisplayed(const std::vector<THint>& hints, const QDateTime& now);

} // namespace shared
