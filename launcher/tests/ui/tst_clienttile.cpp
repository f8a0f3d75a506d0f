// The client package tile: button and logo by status and variant, the default checkbox, the
// speed text, and the progress display of a real installation run served by nginx.
#include "installationsupport.h"
#include "launcher/installation/packageinstallation.h"
#include "launcher/ui/clientpackagelayoutitem.h"
#include "launcher/ui/qcontextpushbutton.h"
#include "nginxfixture.h"
#include "testenvironment.h"
#include "uitestsupport.h"

#include <QAction>
#include <QCheckBox>
#include <QDesktopServices>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QProcess>
#include <QProgressBar>
#include <QSignalSpy>
#include <QtTest>

#include <limits>

using namespace quarn::launcher;
using namespace uitestsupport;

Q_DECLARE_METATYPE(EPackageStatus)

namespace {

// A tile inside a widget, as the main window holds it.
struct TTileHost {
    explicit TTileHost(const std::shared_ptr<TPackage>& package, bool showNames = false)
        : tile(new TClientPackageLayoutItem(package, showNames)) {
        widget.setLayout(tile);
    }
    QWidget widget;
    TClientPackageLayoutItem* tile;
};

class TUrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl& url) { urls.append(url); }
};

} // namespace

class TestClientTile : public QObject {
    Q_OBJECT

private:
    TTestHome m_Home;
    std::shared_ptr<TLauncherFilesystemHelper> m_Helper;

private slots:
    void initTestCase() {
        m_Home.applyToThisProcess();
        m_Helper = std::make_shared<TLauncherFilesystemHelper>();
    }

    void buttonByStatus_data() {
        QTest::addColumn<EPackageStatus>("status");
        QTest::addColumn<QString>("colour");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QStringList>("actions");
        QTest::addColumn<bool>("checkboxShown");
        QTest::newRow("unknown") << PACKAGE_STATUS_UNKNOWN << "Red"
                                 << "" << QStringList() << false;
        QTest::newRow("not installed") << PACKAGE_STATUS_NOT_INSTALLED << "Blue"
                                       << "Download" << QStringList() << false;
        QTest::newRow("partially installed") << PACKAGE_STATUS_PARTIALLY_INSTALLED << "Orange"
                                             << "Update" << QStringList() << false;
        QTest::newRow("update required") << PACKAGE_STATUS_UPDATE_REQUIRED << "Orange"
                                         << "Update" << QStringList() << false;
        QTest::newRow("installed") << PACKAGE_STATUS_INSTALLED << "Green"
                                   << "Play" << QStringList{"Verify"} << true;
    }

    // The tile starts out not installed and then takes the row's status, as the manager sets it.
    void buttonByStatus() {
        QFETCH(EPackageStatus, status);
        QFETCH(QString, colour);
        QFETCH(QString, caption);
        QFETCH(QStringList, actions);
        QFETCH(bool, checkboxShown);
        TPackageTraits traits;
        traits.status = PACKAGE_STATUS_NOT_INSTALLED;
        const auto package = makePackage(traits);
        TTileHost host(package);
        package->setLocalPackageStatus(status);

        QContextPushButton* button = host.tile->actionButton();
        const QString style = button->styleSheet();
        QVERIFY(style.contains(QStringLiteral("Button_%1_idle.png").arg(colour)));
        QVERIFY(style.contains(QStringLiteral("Button_%1_hover.png").arg(colour)));
        QVERIFY(style.contains(QStringLiteral("Button_%1_pressed.png").arg(colour)));
        QVERIFY(style.contains(QStringLiteral("image: url(:/images/launcher/Icon_%1.png)").arg(caption)));
        QCOMPARE(button->toolTip(), caption);
        QCOMPARE(button->actionTexts(), actions);
        QCOMPARE(button->size(), QSize(98, 40));
        QVERIFY(!button->accessibleName().isEmpty());
        QVERIFY(button->accessibleName().contains(QLatin1String("Orvane Online")));
        QCOMPARE(host.tile->progressBar()->size(), QSize(98, 40));
        QCOMPARE(host.tile->logoLabel()->size(), QSize(160, 72));
        QCOMPARE(!host.tile->defaultCheckbox()->isHidden(), checkboxShown);
        // A hidden checkbox keeps its space, so all tiles have the same height.
        QVERIFY(host.tile->defaultCheckbox()->sizePolicy().retainSizeWhenHidden());
        const bool installed = status == PACKAGE_STATUS_INSTALLED;
        QCOMPARE(host.tile->logoLabel()->styleSheet().contains(QLatin1String("_disabled")), !installed);

        // Verify in the context menu and a click reach the tile's signals.
        QSignalSpy clicked(host.tile, &TClientPackageLayoutItem::buttonClicked);
        QSignalSpy verify(host.tile, &TClientPackageLayoutItem::verifyButtonClicked);
        button->click();
        QCOMPARE(clicked.count(), 1);
        for (QAction* action : button->contextMenu()->actions())
            action->trigger();
        QCOMPARE(verify.count(), actions.size());
    }

    void logoByVariant_data() {
        QTest::addColumn<QString>("generation");
        QTest::addColumn<QString>("variant");
        QTest::addColumn<bool>("installed");
        QTest::addColumn<QString>("image");
        QTest::newRow("first generation wins") << "first"
                                               << "test" << true << "OrvaneLogo_Classic.png";
        QTest::newRow("first generation disabled") << "first"
                                                   << "regular" << false << "OrvaneLogo_Classic_disabled.png";
        QTest::newRow("test") << "second"
                              << "test" << true << "OrvaneLogo_Test.png";
        QTest::newRow("test not installed") << "second"
                                            << "test" << false << "OrvaneLogo_Test_disabled.png";
        QTest::newRow("beta") << "second"
                              << "beta" << true << "OrvaneLogo_Beta.png";
        QTest::newRow("preview") << "second"
                                 << "preview" << false << "OrvaneLogo_Preview_disabled.png";
        QTest::newRow("regular") << "second"
                                 << "regular" << true << "OrvaneLogo_QT.png";
        QTest::newRow("unknown variant") << ""
                                         << "" << true << "OrvaneLogo_QT.png";
    }

    void logoByVariant() {
        QFETCH(QString, generation);
        QFETCH(QString, variant);
        QFETCH(bool, installed);
        QFETCH(QString, image);
        TPackageTraits traits;
        traits.generation = generation;
        traits.variant = variant;
        traits.status = installed ? PACKAGE_STATUS_INSTALLED : PACKAGE_STATUS_NOT_INSTALLED;
        TTileHost host(makePackage(traits));
        QCOMPARE(host.tile->logoLabel()->styleSheet(),
                 QStringLiteral("QLabel { image: url(:/images/launcher/%1); }").arg(image));
        QCOMPARE(host.tile->logoLabel()->toolTip(), traits.name);
        QVERIFY(!QImage(QStringLiteral(":/images/launcher/") + image).isNull());
    }

    // A logo link from the service cannot break out of the markup, and only web addresses open.
    void logoLink() {
        TUrlCatcher catcher;
        QDesktopServices::setUrlHandler(QStringLiteral("https"), &catcher, "open");
        QDesktopServices::setUrlHandler(QStringLiteral("file"), &catcher, "open");
        TPackageTraits traits;
        traits.logoLink = QStringLiteral("https://example.org/a\"><b>x</b>");
        const auto package = makePackage(traits);
        TTileHost host(package);
        package->setLocalPackageStatus(PACKAGE_STATUS_INSTALLED); // the logo is drawn again
        QLabel* logo = host.tile->logoLabel();
        QVERIFY(!logo->text().contains(QLatin1String("<b>")));
        QVERIFY(logo->text().contains(QLatin1String("OrvaneLogo_QT.png")));
        emit logo->linkActivated(QStringLiteral("https://example.org/news"));
        emit logo->linkActivated(QStringLiteral("file:///etc/passwd"));
        QCOMPARE(catcher.urls, QList<QUrl>{QUrl(QStringLiteral("https://example.org/news"))});
        QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
        QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    }

    void namesAreShownAsPlainText() {
        TPackageTraits traits;
        traits.name = QStringLiteral("<b>Orvane</b> %1");
        TTileHost host(makePackage(traits), true);
        QVERIFY(host.tile->nameLabel());
        QCOMPARE(host.tile->nameLabel()->text(), traits.name);
        QCOMPARE(host.tile->nameLabel()->textFormat(), Qt::PlainText);
        QCOMPARE(host.tile->versionLabel()->text(), QStringLiteral("1.0.0"));
        TTileHost without(makePackage(TPackageTraits()), false);
        QVERIFY(!without.tile->nameLabel());
    }

    void defaultCheckbox() {
        TPackageTraits traits;
        traits.status = PACKAGE_STATUS_INSTALLED;
        TTileHost host(makePackage(traits));
        QSignalSpy changed(host.tile, &TClientPackageLayoutItem::defaultChanged);
        host.tile->defaultCheckbox()->setChecked(true);
        host.tile->setDefaultClientPackage(true); // already so: nothing
        host.tile->defaultCheckbox()->setChecked(false);
        host.tile->setDefaultClientPackage(false);
        host.tile->defaultCheckbox()->setCheckState(Qt::PartiallyChecked);
        QCOMPARE(changed.count(), 2);
        QCOMPARE(changed.at(0).at(1).toBool(), true);
        QCOMPARE(changed.at(1).at(1).toBool(), false);
    }

    void formatDownloadSpeed_data() {
        QTest::addColumn<quint64>("speed");
        QTest::addColumn<QString>("text");
        QTest::newRow("0") << quint64(0) << "0 B/s";
        QTest::newRow("1024") << quint64(1024) << "1024 B/s";
        QTest::newRow("1025") << quint64(1025) << "1.0 KB/s";
        QTest::newRow("1048576") << quint64(1048576) << "1048.6 KB/s";
        QTest::newRow("1048577") << quint64(1048577) << "1.0 MB/s";
        QTest::newRow("1073741824") << quint64(1073741824) << "1073.7 MB/s";
        QTest::newRow("1073741825") << quint64(1073741825) << "1.1 GB/s";
        QTest::newRow("largest") << std::numeric_limits<quint64>::max() << "18446744073.7 GB/s";
    }

    void formatDownloadSpeed() {
        QFETCH(quint64, speed);
        QFETCH(QString, text);
        TTileHost host(makePackage(TPackageTraits()));
        QCOMPARE(host.tile->formatDownloadSpeed(speed), text);
    }

    void progressValue_data() {
        QTest::addColumn<quint64>("done");
        QTest::addColumn<quint64>("total");
        QTest::addColumn<int>("value");
        const quint64 largest = std::numeric_limits<quint64>::max();
        QTest::newRow("zero total") << quint64(0) << quint64(0) << 0;
        QTest::newRow("done without total") << quint64(5) << quint64(0) << 0;
        QTest::newRow("a third") << quint64(1) << quint64(3) << 3333;
        QTest::newRow("above total") << quint64(15) << quint64(10) << 10000;
        QTest::newRow("3 GiB of 4 GiB") << (quint64(3) << 30) << (quint64(4) << 30) << 7500;
        QTest::newRow("half of the largest") << (largest / 2) << largest << 5000;
        QTest::newRow("one byte of the largest") << quint64(1) << largest << 0;
        QTest::newRow("largest") << largest << largest << 10000;
    }

    void progressValue() {
        QFETCH(quint64, done);
        QFETCH(quint64, total);
        QFETCH(int, value);
        QCOMPARE(TClientPackageLayoutItem::progressValue(done, total), value);
    }

    void remainingTime() {
        QCOMPARE(TClientPackageLayoutItem::remainingTimeText(0, 100, 0), QString());
        QCOMPARE(TClientPackageLayoutItem::remainingTimeText(100, 100, 10), QString());
        QCOMPARE(TClientPackageLayoutItem::remainingTimeText(0, 95, 10), QStringLiteral("About 10 s left"));
        QCOMPARE(TClientPackageLayoutItem::remainingTimeText(0, 6000, 10),
                 QStringLiteral("About 10 min left"));
        QCOMPARE(TClientPackageLayoutItem::remainingTimeText(0, 3900000, 1000),
                 QStringLiteral("About 1 h 5 min left"));
        const quint64 largest = std::numeric_limits<quint64>::max();
        QVERIFY(!TClientPackageLayoutItem::remainingTimeText(0, largest, 1).isEmpty());
    }

    // Scan, write and verification progress arrive queued from worker threads; the bar shows them
    // on its fixed scale, with the byte counts under it, and ignores what arrives after the end.
    void phaseProgress() {
        TPackageTraits traits;
        traits.status = PACKAGE_STATUS_UPDATE_REQUIRED;
        const auto package = makePackage(traits);
        TTileHost host(package);
        TPackageInstallation run(package, m_Helper);
        host.tile->onInstallationOrUpdateStarted(run);
        QProgressBar* bar = host.tile->progressBar();
        QVERIFY(host.tile->actionButton()->isHidden());
        QVERIFY(!bar->isHidden());
        QCOMPARE(bar->maximum(), TClientPackageLayoutItem::PROGRESS_SCALE);
        QCOMPARE(bar->value(), 0); // nothing to download yet: a total of 0

        emit run.scanProgress(0, 0);
        QTRY_COMPARE(bar->format(), QStringLiteral("Scanning..."));
        QCOMPARE(bar->value(), 0);
        emit run.verificationProgress(1500000, 3000000);
        QTRY_COMPARE(bar->format(), QStringLiteral("Verifying..."));
        QCOMPARE(bar->value(), 5000);
        QCOMPARE(host.tile->versionLabel()->text(), QStringLiteral("1.5/3.0 MB"));
        const quint64 huge = quint64(5) << 40;
        emit run.writeProgress(huge + 1, huge);
        QTRY_COMPARE(bar->format(), QStringLiteral("Writing..."));
        QCOMPARE(bar->value(), 10000);

        emit run.scanProgress(1, 2);
        host.tile->onInstallationOrUpdateFinished(run);
        QCoreApplication::processEvents();
        QVERIFY(bar->isHidden());
        QVERIFY(!host.tile->actionButton()->isHidden());
        QCOMPARE(bar->value(), 0);
        QCOMPARE(host.tile->versionLabel()->text(), QStringLiteral("1.0.0"));
    }

    // A real run: the bar shows the download speed while downloading, then "Writing...", and the
    // tile is restored when the run ends.
    void progressOfRealRun() {
        QTemporaryDir work;
        const QString source = work.filePath("source"), published = work.filePath("published/v1");
        QDir().mkpath(source);
        QFile big(source + "/data.bin");
        QVERIFY(big.open(QIODevice::WriteOnly));
        big.write(testsupport::randomBytes(7, 3 * 1024 * 1024));
        big.close();
        QProcess publish;
        publish.setProcessChannelMode(QProcess::MergedChannels);
        publish.start(QStringLiteral(ORVANE_PUBLISH_EXECUTABLE),
                      {"package", source, published, "--version", "2.0.0", "--plain"});
        QVERIFY(publish.waitForFinished(120000));
        QVERIFY2(publish.exitCode() == 0, publish.readAll().constData());

        TNginxFixture server(work.filePath("published"));
        server.setLocationDirectives(QStringLiteral("limit_rate 1m;"));
        QVERIFY2(server.start(), qPrintable(server.errorText()));
        const QUrl base = server.url(QStringLiteral("v1/"));
        TPackageConfigurationReader serverConfiguration(
            testsupport::readWholeFile(published + "/package.json"), QByteArray(), base, base);
        QVERIFY(serverConfiguration.initializedSuccessfully());

        TPackageTraits traits;
        traits.packageJson = serverConfiguration.rawPackageJsonData();
        const auto package = makePackage(traits);
        TTileHost host(package);
        TPackageInstallation run(package, m_Helper);
        run.setInstallationBaseDirectory(QDir(work.filePath("installed")));
        host.tile->onInstallationOrUpdateStarted(run);

        struct TSample {
            int value;
            QString text;
            QString label;
            QString toolTip;
        };
        std::vector<TSample> samples;
        QProgressBar* bar = host.tile->progressBar();
        connect(run.downloader(), &TPackageFileDownloader::progress, this, [&] {
            samples.push_back(
                {bar->value(), bar->format(), host.tile->versionLabel()->text(), bar->toolTip()});
        });
        QSignalSpy finished(&run, &TPackageInstallation::downloadFinished);
        run.startScan(TPackageConfigurationReader(), serverConfiguration, false);
        QVERIFY(finished.wait(120000));
        QVERIFY(run.isInstalledWithoutError());

        const auto downloading = std::find_if(samples.begin(), samples.end(), [](const TSample& sample) {
            return sample.text.endsWith(QLatin1String("/s")) && sample.value > 0 && sample.value < 10000;
        });
        QVERIFY2(downloading != samples.end(), "no sample while downloading");
        QVERIFY(downloading->label.endsWith(QLatin1String("/3.1 MB")));
        QVERIFY(std::any_of(samples.begin(), samples.end(), [](const TSample& sample) {
            return sample.toolTip.startsWith(QLatin1String("About"));
        }));
        QCOMPARE(samples.back().text, QStringLiteral("Writing..."));
        QCOMPARE(samples.back().value, 10000);
        QCOMPARE(samples.back().label, QStringLiteral("3.1/3.1 MB"));

        package->setLocalPackageStatus(PACKAGE_STATUS_INSTALLED);
        host.tile->onInstallationOrUpdateFinished(run);
        QVERIFY(bar->isHidden());
        QCOMPARE(bar->value(), 0);
        QVERIFY(!host.tile->actionButton()->isHidden());
        QCOMPARE(host.tile->versionLabel()->text(), QStringLiteral("2.0.0"));
        QVERIFY(host.tile->actionButton()->styleSheet().contains(QLatin1String("Button_Green_idle.png")));
    }
};

QTEST_MAIN(TestClientTile)
#include "tst_clienttile.moc"
