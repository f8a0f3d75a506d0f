#include "shared/randomhints.h"

#include <QtTest>

using shared::THint;

namespace {

QDateTime utc(const char* text) {
    return QDateTime::fromString(QString::fromLatin1(text), Qt::ISODate);
}

QStringList titles(const std::vector<THint>& hints) {
    QStringList result;
    for (const THint& hint : hints) {
        result.append(hint.title());
    }
    return result;
}

} // namespace

class TestHints : public QObject {
    Q_OBJECT

private slots:
    void parsing_data();
    void parsing();
    void fields();
    void selection_data();
    void selection();
};

void TestHints::parsing_data() {
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<QStringList>("titles");
    QTest::newRow("not an array") << QByteArray(R"({"title":"a","richText":"x"})") << QStringList();
    QTest::newRow("captions required")
        << QByteArray(R"([{"title":"a","richText":"x"},{"title":"b","richText":""},{"title":"c"},
                         {"title":"d","richText":5},7,{"title":"e","richText":"y"}])")
        << QStringList{"a", "e"};
}

void TestHints::parsing() {
    QFETCH(QByteArray, document);
    QFETCH(QStringList, titles);
    QCOMPARE(::titles(shared::parseHints(document)), titles);
}

void TestHints::fields() {
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Could not parse hints file at offset \\d+ : "));
    QVERIFY(shared::parseHints("[{").empty());

    const std::vector<THint> hints = shared::parseHints(
        R"([{"title":"t","richText":"See <a href='https://x.example'>here</a>","imageUrl":"https://i.example/1.png",
             "category":"cat2","url":"https://x.example","displayAfter":"2023-05-01T12:00:00Z",
             "displayUntil":"next week","emergency":"yes"}])");
    QCOMPARE(int(hints.size()), 1);
    const THint& hint = hints[0];
    QCOMPARE(hint.richText(),
             QStringLiteral("<style>a { color: #c0c0c0; }</style>See <a href='https://x.example'>here</a>"));
    QCOMPARE(hint.imageUrl(), QStringLiteral("https://i.example/1.png"));
    QCOMPARE(hint.category(), QStringLiteral("cat2"));
    QCOMPARE(hint.url(), QStringLiteral("https://x.example"));
    QCOMPARE(hint.displayAfter(), utc("2023-05-01T12:00:00Z"));
    QVERIFY(!hint.displayUntil().isValid()); // unparsable: no upper bound
    QVERIFY(hint.hasTimeConstraints());
    QVERIFY(hint.hasEmergencyFlag());
    QVERIFY(!hint.isEmergency());
    QVERIFY(!hint.canBeDisplayedAtGivenTime(utc("2023-05-01T11:59:59Z")));
    QVERIFY(hint.canBeDisplayedAtGivenTime(utc("2023-05-01T12:00:00Z")));
    QVERIFY(hint.canBeDisplayedAtGivenTime(utc("2099-01-01T00:00:00Z")));
}

void TestHints::selection_data() {
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<QDateTime>("now");
    QTest::addColumn<QString>("chosen"); // title, empty: none

    const QDateTime now = utc("2025-06-01T00:00:00Z");
    QTest::newRow("no hints") << QByteArray("[]") << now << "";
    QTest::newRow("emergency first, whatever its times")
        << QByteArray(R"([{"title":"a","richText":"x","displayAfter":"2020-01-01T00:00:00Z"},
                         {"title":"e","richText":"x","emergency":true,"displayAfter":"2030-01-01T00:00:00Z"}])")
        << now << "e";
    QTest::newRow("emergency false is never chosen")
        << QByteArray(R"([{"title":"f","richText":"x","emergency":false}])") << now << "";
    QTest::newRow("first candidate with display times")
        << QByteArray(R"([{"title":"a","richText":"x"},{"title":"b","richText":"x","emergency":false},
                         {"title":"c","richText":"x","displayUntil":"2030-01-01T00:00:00Z"},
                         {"title":"d","richText":"x","displayAfter":"2020-01-01T00:00:00Z"}])")
        << now << "c";
    QTest::newRow("hints outside their times are no candidates")
        << QByteArray(R"([{"title":"old","richText":"x","displayUntil":"2020-01-01T00:00:00Z"},
                         {"title":"new","richText":"x","displayAfter":"2030-01-01T00:00:00Z"},
                         {"title":"a","richText":"x"}])")
        << now << "a";
    QTest::newRow("nothing shown yet") << QByteArray(R"([{"title":"new","richText":"x",
                                                         "displayAfter":"2030-01-01T00:00:00Z"}])")
                                       << now << "";
    const QByteArray three = R"([{"title":"a","richText":"x"},{"title":"b","richText":"x"},
                                 {"title":"c","richText":"x"}])";
    QTest::newRow("by milliseconds: 1000 % 3")
        << three << QDateTime::fromMSecsSinceEpoch(1000, Qt::UTC) << "b";
    QTest::newRow("by milliseconds: 1002 % 3")
        << three << QDateTime::fromMSecsSinceEpoch(1002, Qt::UTC) << "a";
}

void TestHints::selection() {
    QFETCH(QByteArray, document);
    QFETCH(QDateTime, now);
    QFETCH(QString, chosen);
    const std::optional<THint> hint = shared::selectHintToBeDisplayed(shared::parseHints(document), now);
    QCOMPARE(hint.has_value(), !chosen.isEmpty());
    if (hint) {
        QCOMPARE(hint->title(), chosen);
    }
}

QTEST_GUILESS_MAIN(TestHints)
#include "tst_hints.moc"
