// orvane-screenshots OUTPUT_DIR [PUBLISHED_DIR]
//
// Renders the main states of the launcher's window headless (offscreen platform) into PNG files:
// the empty list with the connection-problem box, five tiles in two rows, a download in progress,
// the download-failure box with the CDN diagnosis, and the hint row. Pictures, the CDN trace and
// the download come from a small HTTP server of this program on 127.0.0.1. PUBLISHED_DIR is a
// build published with orvane-publish (package.json and chunks/); without it the download state
// is left out. Run it with HOME and the XDG folders pointing at a temporary folder, as
// scripts/screenshots.sh does.
#include "launcher/diagnostics/cloudflarecdntrace.h"
#include "launcher/installation/installationmanager.h"
#include "launcher/installation/packageinstallation.h"
#include "launcher/ui/clientpackagelayoutitem.h"
#include "launcher/ui/launchermainwindow.h"
#include "shared/machineidentifier.h"

#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLinearGradient>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QPainter>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

using namespace quarn::launcher;

namespace {

// Answers GET requests: "/trace" with a CDN trace page, "/hintN.png" with a drawn picture, and
// anything else from the published folder; chunk files are sent only in part and then held, so
// that a download stays in progress.
class TDemoServer : public QObject {
public:
    explicit TDemoServer(QString publishedDirectory) : m_PublishedDirectory(std::move(publishedDirectory)) {
        m_Server.listen(QHostAddress::LocalHost, 0);
        connect(&m_Server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = m_Server.nextPendingConnection()) {
                connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { answer(socket); });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
    }
    QUrl url(const QString& path) const {
        return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_Server.serverPort()).arg(path));
    }

private:
    static QByteArray picture(int index) {
        const QColor colours[][2] = {{QColor(0x6E, 0x3E, 0xA0), QColor(0xE0, 0x8A, 0x3C)},
                                     {QColor(0x1F, 0x5E, 0x8C), QColor(0x7C, 0xC4, 0xE8)},
                                     {QColor(0x3A, 0x6E, 0x22), QColor(0xD8, 0xD0, 0x70)}};
        QImage image(290, 80, QImage::Format_RGB32);
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        QLinearGradient gradient(0, 0, 290, 80);
        gradient.setColorAt(0, colours[index % 3][0]);
        gradient.setColorAt(1, colours[index % 3][1]);
        painter.fillRect(image.rect(), gradient);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(255, 255, 255, 60));
        for (int i = 0; i < 6; ++i)
            painter.drawEllipse(QPointF(30 + i * 50, 25 + (i % 2) * 20), 14 + i * 2, 14 + i * 2);
        painter.end();
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, "PNG");
        return bytes;
    }

    void answer(QTcpSocket* socket) {
        const QByteArray request = socket->readAll();
        const QList<QByteArray> line = request.left(request.indexOf("\r\n")).split(' ');
        const QString path = line.size() >= 2 ? QUrl(QString::fromLatin1(line.at(1))).path() : QString();
        QByteArray body;
        qint64 length = -1;
        bool partial = false;
        if (path == QLatin1String("/trace")) {
            body = "fl=29f112\nh=cdn.example\nip=198.51.100.23\nts=1765460000.512\nvisit_scheme=https\n"
                   "colo=FRA\nhttp=http/1.1\n";
        } else if (path.startsWith(QLatin1String("/hint"))) {
            body = picture(path.mid(5, 1).toInt());
        } else {
            QFile file(m_PublishedDirectory + path);
            if (!m_PublishedDirectory.isEmpty() && !path.contains(QLatin1String("..")) &&
                file.open(QIODevice::ReadOnly)) {
                body = file.readAll();
                partial = path.startsWith(QLatin1String("/chunks/"));
            } else {
                socket->write("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
                socket->disconnectFromHost();
                return;
            }
        }
        length = body.size();
        socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                      QByteArray::number(length) + "\r\nConnection: close\r\n\r\n");
        if (partial) {
            // A share of the chunk now and a little more every 100 ms: a download in progress.
            socket->write(body.left(body.size() / 4));
            auto* timer = new QTimer(socket);
            auto sent = std::make_shared<int>(body.size() / 4);
            connect(timer, &QTimer::timeout, socket, [socket, body, sent] {
                const int step = body.size() / 100;
                if (*sent + step < body.size() * 3 / 4) {
                    socket->write(body.mid(*sent, step));
                    *sent += step;
                }
            });
            timer->start(100);
            return;
        }
        socket->write(body);
        socket->disconnectFromHost();
    }

    QString m_PublishedDirectory;
    QTcpServer m_Server;
};

QString localOperatingSystemName() {
    switch (shared::TMachineIdentifier::getOperatingSystem()) {
    case shared::OPERATING_SYSTEM_WINDOWS:
        return QStringLiteral("windows");
    case shared::OPERATING_SYSTEM_MACOS:
        return QStringLiteral("macos");
    default:
        return QStringLiteral("linux");
    }
}

struct TDemoPackage {
    QString name;
    QString generation;
    QString variant;
    EPackageStatus status;
    QByteArray packageJson; // empty: a small document of its own
};

// A window over a catalogue of the given packages, with what it needs around it.
class TDemoWindow {
public:
    TDemoWindow(const std::shared_ptr<TLauncherFilesystemHelper>& helper,
                const std::vector<TDemoPackage>& packages, const QUrl& traceUrl, const QUrl& base) {
        QJsonArray array;
        for (size_t i = 0; i < packages.size(); ++i)
            array.append(
                QJsonObject{{"name", packages[i].name},
                            {"directoryname", QStringLiteral("Client%1").arg(i)},
                            {"builds", QJsonArray{QJsonObject{{"os", localOperatingSystemName()},
                                                              {"architecture", QStringLiteral("x86_64")},
                                                              {"url", "package.json"}}}}});
        configuration = std::make_shared<TLauncherConfigurationReader>(
            QJsonDocument(QJsonObject{{"packages", array}, {"showpackagenames", true}}).toJson(), base);
        for (size_t i = 0; i < packages.size(); ++i) {
            QByteArray json = packages[i].packageJson;
            if (json.isEmpty())
                json = QJsonDocument(QJsonObject{{"version", QStringLiteral("2.%1.0").arg(i + 3)},
                                                 {"generation", packages[i].generation},
                                                 {"variant", packages[i].variant},
                                                 {"files", QJsonArray()}})
                           .toJson();
            if (TPackageBuild* build =
                    configuration->packages().at(i)->findBuildMatchingLocalArchitectureAndOS())
                build->setPackageConfiguration(
                    std::make_unique<TPackageConfigurationReader>(json, QByteArray(), base, base));
        }
        manager = std::make_unique<TInstallationManager>(configuration, helper);
        for (size_t i = 0; i < packages.size(); ++i)
            configuration->packages().at(i)->setLocalPackageStatus(packages[i].status);
        pool = std::make_shared<shared::TDownloadPool>(
            6,
            std::make_shared<shared::QNetworkAccessManagerWrapper>(std::make_shared<QNetworkAccessManager>()),
            nullptr, true);
        trace = std::make_shared<TCloudflareCdnTrace>(traceUrl, pool);
        window = std::make_unique<TLauncherMainWindow>(
            configuration->packagesFilteredByLocalArchitectureAndOS(), *manager,
            configuration->showPackageNames(), pool, trace, configuration);
        window->move(0, 0);
        window->show();
    }

    std::shared_ptr<TLauncherConfigurationReader> configuration;
    std::unique_ptr<TInstallationManager> manager;
    std::shared_ptr<shared::TDownloadPool> pool;
    std::shared_ptr<TCloudflareCdnTrace> trace;
    std::unique_ptr<TLauncherMainWindow> window;
};

void wait(int milliseconds) {
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

// The window with its open message box drawn over the middle, as a player sees them.
bool saveScreenshot(QWidget* window, const QString& path) {
    wait(150);
    QPixmap picture = window->grab();
    QPainter painter(&picture);
    for (QMessageBox* box : window->findChildren<QMessageBox*>()) {
        if (!box->isVisible())
            continue;
        const QPixmap boxPicture = box->grab();
        const QPoint at((picture.width() - boxPicture.width()) / 2,
                        (picture.height() - boxPicture.height()) / 2);
        painter.fillRect(QRect(at + QPoint(4, 4), boxPicture.size()), QColor(0, 0, 0, 110));
        painter.drawPixmap(at, boxPicture);
        painter.setPen(QColor(90, 90, 90));
        painter.drawRect(QRect(at, boxPicture.size()).adjusted(0, 0, -1, -1));
    }
    painter.end();
    if (!picture.save(path, "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("wrote %s\n", qPrintable(path));
    return true;
}

const std::vector<TDemoPackage> FIVE_PACKAGES = {
    {QStringLiteral("Orvane Online"),
     QStringLiteral("second"),
     QStringLiteral("regular"),
     PACKAGE_STATUS_INSTALLED,
     {}},
    {QStringLiteral("Orvane Classic"),
     QStringLiteral("first"),
     QStringLiteral("regular"),
     PACKAGE_STATUS_UPDATE_REQUIRED,
     {}},
    {QStringLiteral("Public Test"),
     QStringLiteral("second"),
     QStringLiteral("test"),
     PACKAGE_STATUS_NOT_INSTALLED,
     {}},
    {QStringLiteral("Open Beta"),
     QStringLiteral("second"),
     QStringLiteral("beta"),
     PACKAGE_STATUS_INSTALLED,
     {}},
    {QStringLiteral("Preview"),
     QStringLiteral("second"),
     QStringLiteral("preview"),
     PACKAGE_STATUS_PARTIALLY_INSTALLED,
     {}},
};

std::vector<shared::THint> demoHints(const TDemoServer& server) {
    const char* captions[] = {"Season of Embers begins", "Patch notes 2.5", "Join the guild tournament"};
    std::vector<shared::THint> hints;
    for (int i = 0; i < 3; ++i)
        hints.emplace_back(
            QJsonObject{{"richText", QString::fromLatin1(captions[i])},
                        {"imageUrl", server.url(QStringLiteral("/hint%1.png").arg(i)).toString()},
                        {"category", QStringLiteral("cat%1").arg(i + 1)},
                        {"url", QStringLiteral("https://www.orvane-online.com/news/%1").arg(i + 1)}});
    return hints;
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Orvane Online"));
    QApplication::setOrganizationName(QStringLiteral("Kettrel GmbH"));
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() < 2) {
        std::fprintf(stderr, "usage: orvane-screenshots OUTPUT_DIR [PUBLISHED_DIR]\n");
        return 2;
    }
    const QString output = arguments.at(1);
    const QString published = arguments.size() > 2 ? QDir(arguments.at(2)).absolutePath() : QString();
    QDir().mkpath(output);
    auto helper = std::make_shared<TLauncherFilesystemHelper>();
    TDemoServer server(published);
    const QUrl base = server.url(QStringLiteral("/"));
    bool ok = true;

    {
        TDemoWindow demo(helper, {}, QUrl(), base);
        ok &= saveScreenshot(demo.window.get(), output + QStringLiteral("/window-empty.png"));
    }
    {
        TDemoWindow demo(helper, FIVE_PACKAGES, QUrl(), base);
        demo.window->setDefault(demo.configuration->packages().at(0), true);
        ok &= saveScreenshot(demo.window.get(), output + QStringLiteral("/window-five-clients.png"));
    }
    {
        TDemoWindow demo(helper, FIVE_PACKAGES, QUrl(), base);
        demo.window->setDefault(demo.configuration->packages().at(0), true);
        demo.window->setHints(demoHints(server));
        ok &= saveScreenshot(demo.window.get(), output + QStringLiteral("/window-hints.png"));
    }
    if (!published.isEmpty()) {
        QFile document(published + QStringLiteral("/package.json"));
        std::vector<TDemoPackage> packages = FIVE_PACKAGES;
        if (document.open(QIODevice::ReadOnly)) {
            packages[2].packageJson = document.readAll();
            TDemoWindow demo(helper, packages, QUrl(), base);
            demo.window->setHints(demoHints(server));
            const std::shared_ptr<TPackage> package = demo.configuration->packages().at(2);
            QTemporaryDir target;
            TPackageInstallation run(package, helper);
            run.setInstallationBaseDirectory(QDir(target.path()));
            emit demo.manager->installationOrUpdateStarted(run);
            run.startScan(TPackageConfigurationReader(), *package->matchingPackageConfiguration(), false);
            wait(1500);
            ok &= saveScreenshot(demo.window.get(), output + QStringLiteral("/window-download.png"));
            demo.window->close();
        } else {
            std::fprintf(stderr, "no package.json in %s\n", qPrintable(published));
            ok = false;
        }
    }
    {
        TDemoWindow demo(helper, FIVE_PACKAGES, server.url(QStringLiteral("/trace")), base);
        demo.window->setHints(demoHints(server));
        TPackageInstallation run(demo.configuration->packages().at(2), helper);
        emit demo.manager->installationOrUpdateStarted(run);
        emit run.downloader()->downloadFailed(PACKAGE_DOWNLOADER_ERROR_DOWNLOAD_FAILED);
        emit demo.manager->installationOrUpdateFinished(run);
        wait(500); // the trace arrives and replaces "Loading, please wait..."
        ok &= saveScreenshot(demo.window.get(), output + QStringLiteral("/window-download-failed.png"));
    }
    return ok ? 0 : 1;
}
