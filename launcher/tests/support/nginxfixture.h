#pragma once
// Test fixture: a private nginx on 127.0.0.1 serving one directory, started on a free port with
// its own temporary prefix (configuration, pid, logs, temp folders) and stopped when the object
// goes away. Header-only; needs /usr/sbin/nginx (installed by scripts/setup.sh).

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QUrl>

#include <unistd.h>

class TNginxFixture {
public:
    explicit TNginxFixture(const QString& rootDirectory) : m_root(QDir(rootDirectory).absolutePath()) {}
    ~TNginxFixture() { stop(); }
    TNginxFixture(const TNginxFixture&) = delete;
    TNginxFixture& operator=(const TNginxFixture&) = delete;

    // Starts nginx; false with errorText() set when it does not come up.
    bool start() {
        if (!m_prefix.isValid()) {
            m_error = QStringLiteral("no temporary prefix");
            return false;
        }
        // A free port can be taken by someone else before nginx binds it; try a few.
        for (int attempt = 0; attempt < 5; ++attempt) {
            m_port = freePort();
            if (m_port != 0 && launch()) {
                return true;
            }
            stop();
        }
        return false;
    }

    void stop() {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            if (!m_process.waitForFinished(5000)) {
                m_process.kill();
                m_process.waitForFinished(5000);
            }
        }
    }

    // Directives for the served location, e.g. "limit_rate 1m;" to slow every response down.
    void setLocationDirectives(const QString& directives) { m_locationDirectives = directives; }

    quint16 port() const { return m_port; }
    QUrl baseUrl() const { return QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(m_port)); }
    QUrl url(const QString& relativePath) const { return baseUrl().resolved(QUrl(relativePath)); }
    QString errorText() const { return m_error; }
    // The nginx master process (0 when not running) and the folder with its configuration and logs.
    qint64 processId() const { return m_process.processId(); }
    QString prefixPath() const { return m_prefix.path(); }

private:
    static quint16 freePort() {
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHost, 0)) {
            return 0;
        }
        return probe.serverPort();
    }

    bool launch() {
        const QString prefix = m_prefix.path();
        QDir().mkpath(prefix + "/logs");
        QDir().mkpath(prefix + "/temp");
        QString config;
        if (geteuid() == 0) {
            // Workers would otherwise run as nobody and could not read private test folders.
            config += "user root;\n";
        }
        config += QStringLiteral("worker_processes 2;\n"
                                 "pid %1/nginx.pid;\n"
                                 "error_log %1/logs/error.log warn;\n"
                                 "events { worker_connections 512; }\n"
                                 "http {\n"
                                 "  access_log off;\n"
                                 "  default_type application/octet-stream;\n"
                                 "  sendfile on;\n"
                                 "  keepalive_requests 100000;\n"
                                 "  client_body_temp_path %1/temp/body;\n"
                                 "  proxy_temp_path %1/temp/proxy;\n"
                                 "  fastcgi_temp_path %1/temp/fastcgi;\n"
                                 "  uwsgi_temp_path %1/temp/uwsgi;\n"
                                 "  scgi_temp_path %1/temp/scgi;\n"
                                 "  server {\n"
                                 "    listen 127.0.0.1:%2;\n"
                                 "    root %3;\n"
                                 "    location / { %4 }\n"
                                 "  }\n"
                                 "}\n")
                      .arg(prefix)
                      .arg(m_port)
                      .arg(m_root)
                      .arg(m_locationDirectives);
        QFile file(prefix + "/nginx.conf");
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(config.toUtf8()) < 0) {
            m_error = QStringLiteral("cannot write the configuration");
            return false;
        }
        file.close();
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QStringLiteral("/usr/sbin/nginx"), {"-p", prefix, "-c", prefix + "/nginx.conf", "-e",
                                                            prefix + "/logs/error.log", "-g", "daemon off;"});
        if (!m_process.waitForStarted(5000)) {
            m_error = QStringLiteral("cannot start /usr/sbin/nginx: ") + m_process.errorString();
            return false;
        }
        for (int wait = 0; wait < 100; ++wait) {
            if (m_process.state() == QProcess::NotRunning) {
                break;
            }
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, m_port);
            if (socket.waitForConnected(100)) {
                return true;
            }
            QThread::msleep(50);
        }
        QFile log(prefix + "/logs/error.log");
        m_error = QStringLiteral("nginx did not come up on port %1").arg(m_port);
        if (log.open(QIODevice::ReadOnly)) {
            m_error += ": " + QString::fromUtf8(log.readAll());
        }
        return false;
    }

    QString m_root;
    QString m_locationDirectives;
    QTemporaryDir m_prefix;
    QProcess m_process;
    quint16 m_port = 0;
    QString m_error;
};
