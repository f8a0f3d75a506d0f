#pragma once

#include <QByteArray>
#include <QDir>
#include <QProcessEnvironment>
#include <QString>
#include <QTemporaryDir>

// A private home for a test: HOME, the XDG folders and TMPDIR all point into one temporary
// folder, so neither the test nor the programs it starts ever touch the user's real files.
class TTestHome {
public:
    TTestHome() {
        for (const char* folder : {"home", "data", "config", "cache", "runtime", "tmp"})
            QDir(m_Root.path()).mkpath(QString::fromLatin1(folder));
        QFile::setPermissions(path("runtime"),
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }

    QString root() const { return m_Root.path(); }
    QString path(const char* folder) const {
        return m_Root.path() + QLatin1Char('/') + QLatin1String(folder);
    }

    // The environment for a child process.
    QProcessEnvironment environment() const {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("HOME"), path("home"));
        environment.insert(QStringLiteral("XDG_DATA_HOME"), path("data"));
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), path("config"));
        environment.insert(QStringLiteral("XDG_CACHE_HOME"), path("cache"));
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), path("runtime"));
        environment.insert(QStringLiteral("TMPDIR"), path("tmp"));
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        return environment;
    }

    // Points this process itself at the private folders (before anything reads them).
    void applyToThisProcess() const {
        const QProcessEnvironment environment = this->environment();
        for (const char* name :
             {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR", "TMPDIR"})
            qputenv(name, environment.value(QLatin1String(name)).toLocal8Bit());
    }

private:
    QTemporaryDir m_Root;
};
