#include "launcher/installation/packagefolderlock.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace quarn::launcher {

namespace {
// How often a waiting lock looks again.
constexpr int LOCK_POLL_INTERVAL_MS = 50;
} // namespace

TPackageFolderLock::TPackageFolderLock(QString folder) : m_Folder(std::move(folder)) {}

TPackageFolderLock::~TPackageFolderLock() {
    unlock();
}

QString TPackageFolderLock::busyMessage(const QString& folder) {
    return QStringLiteral("Another installation is changing the folder '%1'; try again when it has "
                          "finished.")
        .arg(QDir::toNativeSeparators(folder));
}

bool TPackageFolderLock::tryLock() {
    if (isLocked())
        return true;
    QDir().mkpath(m_Folder);
    const QByteArray path = QFile::encodeName(m_Folder);
    const int descriptor = ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0) {
        m_Busy = false;
        m_ErrorString =
            QStringLiteral("The folder '%1' cannot be opened: %2")
                .arg(QDir::toNativeSeparators(m_Folder), QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    int result = 0;
    do {
        result = ::flock(descriptor, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        const int error = errno;
        ::close(descriptor);
        m_Busy = error == EWOULDBLOCK;
        m_ErrorString = error == EWOULDBLOCK ? busyMessage(m_Folder)
                                             : QStringLiteral("The folder '%1' cannot be locked: %2")
                                                   .arg(QDir::toNativeSeparators(m_Folder),
                                                        QString::fromLocal8Bit(std::strerror(error)));
        return false;
    }
    m_Descriptor = descriptor;
    m_ErrorString.clear();
    return true;
}

bool TPackageFolderLock::lock(int timeoutMilliseconds) {
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        if (tryLock())
            return true;
        // Only a lock held by someone else is worth waiting for.
        if (!m_Busy || waited.elapsed() >= timeoutMilliseconds)
            return false;
        QThread::msleep(LOCK_POLL_INTERVAL_MS);
    }
}

void TPackageFolderLock::unlock() {
    if (m_Descriptor < 0)
        return;
    ::flock(m_Descriptor, LOCK_UN);
    ::close(m_Descriptor);
    m_Descriptor = -1;
}

} // namespace quarn::launcher
