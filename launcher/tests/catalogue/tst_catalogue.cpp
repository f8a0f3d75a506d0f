#include "launcher/configuration/launcherconfiguration.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QSignalSpy>
#include <QtTest>

using namespace quarn::launcher;

namespace {

const QUrl BASE(QStringLiteral("https://service.example/launcher/"));

// "identifier name directory auto [os/architecture package-url assets-url]..."
QString describe(const TPackage& package) {
    QString text = QStringLiteral("%1 %2 %3 %4")
                       .arg(package.isLauncherPackage() ? QStringLiteral("L")
                                                        : QString::number(package.packageIdentifier()),
                            package.packageName(), package.directoryName(),
                            package.isInstallAutomatically() ? QStringLiteral("auto") : QStringLiteral("-"));
    for (const auto& build : package.builds()) {
        text += QStringLiteral(" [%1/%2 %3 %4]")
                    .arg(int(build->operatingSystem()))
                    .arg(int(build->architecture()))
                    .arg(build->packageUrl().toString(), build->assetsUrl().toString());
    }
    return text;
}

QStringList describe(const TLauncherConfigurationReader& reader) {
    QStringList lines;
    if (reader.launcherPackage()) {
        lines.append(describe(*reader.launcherPackage()));
    }
    for (const auto& package : reader.packages()) {
        lines.append(describe(*package));
    }
    return lines;
}

std::unique_ptr<TPackageConfigurationReader> configuration(const QString& version) {
    return std::make_unique<TPackageConfigurationReader>(
        QStringLiteral("{\"version\":\"%1\"}").arg(version).toUtf8(), QByteArray(), BASE, BASE);
}

} // namespace

class TestCatalogue : public QObject {
    Q_OBJECT

private slots:
    void documents_data();
    void documents();
    void serviceEntries();
    void invalidJson();
    void platformMatching();
    void statusSignal();
};

void TestCatalogue::documents_data() {
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<QStringList>("catalogue");

    QTest::newRow("empty array") << QByteArray("[]") << QStringList();
    QTest::newRow("wrong types") << QByteArray(R"({"launcher":[1],"packages":{"name":"x"}})")
                                 << QStringList();
    QTest::newRow("launcher package")
        << QByteArray(R"({"launcher":{"name":"Launcher"}})") << QStringList{"L Launcher .app -"};
    QTest::newRow("non-object element keeps its identifier")
        << QByteArray(R"({"packages":[5,{"name":"A","directoryname":"Client","installautomatically":true}]})")
        << QStringList{"0  .app -", "1 A Client.app auto"};
    QTest::newRow("platform names without regard to case")
        << QByteArray(R"({"packages":[{"name":"A","builds":[
               {"os":"MacOS","architecture":"X86_64","url":"a/mac/package.json","assetsurl":"a/mac/assets.json"},
               {"os":"WINDOWS","architecture":"i386","url":"https://cdn.example/w/package.json?sig=1"},
               {"os":"amiga","architecture":"arm64","url":"a/x/package.json?sig=2"},
               3]}]})")
        << QStringList{"0 A .app - [2/2 https://service.example/launcher/a/mac/package.json "
                       "https://service.example/launcher/a/mac/assets.json]"
                       " [1/1 https://cdn.example/w/package.json?sig=1 ]"
                       " [0/0 https://service.example/launcher/a/x/package.json ]"
                       " [0/0 https://service.example/launcher/ ]"};
    QTest::newRow("empty or mistyped assets url")
        << QByteArray(R"({"packages":[{"builds":[{"os":"linux","url":"p.json","assetsurl":""},
                                                  {"os":"linux","url":"p.json","assetsurl":7}]}]})")
        << QStringList{"0  .app - [3/0 https://service.example/launcher/p.json ]"
                       " [3/0 https://service.example/launcher/p.json ]"};
    QTest::newRow("document addresses other than http and https are dropped")
        << QByteArray(R"({"packages":[{"builds":[{"os":"linux","url":"file:///etc/passwd",
                                                   "assetsurl":"data:,{}"},
                                                  {"os":"linux","url":"http://cdn.example/p.json"}]}]})")
        << QStringList{"0  .app - [3/0  ] [3/0 http://cdn.example/p.json ]"};
    QTest::newRow("directory name with a separator loses its builds")
        << QByteArray(R"({"packages":[{"name":"E","directoryname":"../../Evil","builds":[{"os":"macos"}]}]})")
        << QStringList{"0 E ../../Evil.app -"};
}

void TestCatalogue::documents() {
    QFETCH(QByteArray, document);
    QFETCH(QStringList, catalogue);
    const TLauncherConfigurationReader reader(document, BASE);
    QCOMPARE(describe(reader), catalogue);
    QCOMPARE(reader.rawJsonData(), document);
}

void TestCatalogue::serviceEntries() {
    const TLauncherConfigurationReader reader(
        R"({"hardwaresurvey":"https://s.example/survey?x=1","hints":"hints.json","funnel":5,
            "preventdefaultautostart":"true","showpackagenames":true,
            "packages":[{"name":"A","logolinktarget":"https://www.example/a"},{"name":"B"}]})",
        BASE);
    // Taken as they stand: neither resolved nor stripped of their query.
    QCOMPARE(reader.hardwareSurveyUrl(), QUrl("https://s.example/survey?x=1"));
    QCOMPARE(reader.hintsUrl(), QUrl("hints.json"));
    QVERIFY(reader.funnelUrl().isEmpty());
    QVERIFY(!reader.preventDefaultAutostart());
    QVERIFY(reader.showPackageNames());
    QCOMPARE(reader.packages()[0]->logoLinkTarget(), QUrl("https://www.example/a"));
    QVERIFY(reader.packages()[1]->logoLinkTarget().isEmpty());
    QVERIFY(!reader.launcherPackage());
}

void TestCatalogue::invalidJson() {
    const QByteArray broken = R"({"packages":[)";
    QJsonParseError error;
    QJsonDocument::fromJson(broken, &error);
    try {
        TLauncherConfigurationReader reader(broken, BASE);
        QFAIL("no exception");
    } catch (const TLauncherConfigurationException& exception) {
        QCOMPARE(QString::fromUtf8(exception.what()), error.errorString());
    }
}

void TestCatalogue::platformMatching() {
    const TLauncherConfigurationReader reader(
        R"({"packages":[
              {"name":"twice","builds":[{"os":"macos","architecture":"x86_64","url":"first.json"},
                                        {"os":"MACOS","architecture":"X86_64","url":"second.json"}]},
              {"name":"linux only","builds":[{"os":"linux","architecture":"x86_64"}]},
              {"name":"no configuration","builds":[{"os":"macos","architecture":"x86_64"}]},
              {"name":"no builds"}]})",
        BASE);
    const auto& packages = reader.packages();
    const auto mac = shared::OPERATING_SYSTEM_MACOS;
    const auto x64 = shared::BUILD_ARCHITECTURE_X86_64;

    TPackageBuild* first = packages[0]->findBuildMatching(mac, x64);
    QVERIFY(first != nullptr);
    QCOMPARE(first->packageUrl().fileName(), QStringLiteral("first.json"));
    QVERIFY(packages[0]->findBuildMatching(mac, shared::BUILD_ARCHITECTURE_I386) == nullptr);
    QVERIFY(packages[3]->findBuildMatching(mac, x64) == nullptr);

    // Only the first matching build counts, even while it has no configuration.
    packages[0]->builds()[1]->setPackageConfiguration(configuration("2"));
    QVERIFY(packages[0]->packageConfigurationMatching(mac, x64) == nullptr);
    QVERIFY(reader.packagesFilteredBy(mac, x64).empty());

    first->setPackageConfiguration(configuration("1"));
    packages[1]->builds()[0]->setPackageConfiguration(configuration("3"));
    QCOMPARE(packages[0]->packageConfigurationMatching(mac, x64)->packageVersion(), QStringLiteral("1"));
    const TPackageVector forMac = reader.packagesFilteredBy(mac, x64);
    QCOMPARE(int(forMac.size()), 1);
    QCOMPARE(forMac[0]->packageName(), QStringLiteral("twice"));
    const TPackageVector forLinux = reader.packagesFilteredBy(shared::OPERATING_SYSTEM_LINUX, x64);
    QCOMPARE(int(forLinux.size()), 1);
    QCOMPARE(forLinux[0]->packageName(), QStringLiteral("linux only"));

    // Attaching again replaces the configuration.
    first->setPackageConfiguration(configuration("4"));
    QCOMPARE(packages[0]->packageConfigurationMatching(mac, x64)->packageVersion(), QStringLiteral("4"));

    QVERIFY(*packages[0] != *packages[1]);
    QVERIFY(*packages[0] == TPackage(9, QJsonDocument::fromJson(R"({"name":"twice"})").object(), BASE));
}

void TestCatalogue::statusSignal() {
    TPackage package(0, QJsonObject(), BASE);
    QSignalSpy spy(&package, &TPackage::localPackageStatusChanged);
    QCOMPARE(package.localPackageStatus(), PACKAGE_STATUS_UNKNOWN);
    package.setLocalPackageStatus(PACKAGE_STATUS_INSTALLED);
    package.setLocalPackageStatus(PACKAGE_STATUS_INSTALLED);
    QCOMPARE(spy.count(), 1);
    package.setLocalPackageStatus(PACKAGE_STATUS_UPDATE_REQUIRED);
    QCOMPARE(spy.count(), 2);
    QCOMPARE(package.localPackageStatus(), PACKAGE_STATUS_UPDATE_REQUIRED);
}

QTEST_GUILESS_MAIN(TestCatalogue)
#include "tst_catalogue.moc"
