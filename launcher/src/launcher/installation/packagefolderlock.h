#pragma once

#include <QString>

namespace quarn::launcher {

// An exclusive lock on one package folder, so that only one installation run at a time changes it,
// whether the run belongs to this process or another (the launcher and orvane-publish sync both
// take it). The lock is an advisory lock on the folder itself (flock on an open descriptor of the
// folder): nothing is written into the package, and the system drops the lock when its holder ends.
// Two lock objects of one process exclude each other as two processes do.
class TPackageFolderLock {
public:
    explicit TPackageFolderLock(QString folder);
    ~TPackageFolderLock();
    TPackageFolderLock(const TPackageFolderLock&) = delete;
    TPackageFolderLock& operator=(const TPackageFolderLock&) = delete;

    // Takes the lock if it is free; creates the folder when it does not exist. False when another
    // holder has it or the folder cannot be opened (errorString() says which).
    bool tryLock();
    // Tries until the lock is taken or the time is up (milliseconds); the calling thread waits.
    bool lock(int timeoutMilliseconds);
    void unlock();
    bool isLocked() const { return m_Descriptor >= 0; }
    // The last attempt found the lock held by someone else (rather than failing otherwise).
    bool isBusy() const { return m_Busy; }
    const QString& folder() const { return m_Folder; }
    QString errorString() const { return m_ErrorString; }

    // The message of a run that gave up waiting for the lock.
    static QString busyMessage(const QString& folder);

private:
    QString m_Folder;
    int m_Descriptor = -1;
    bool m_Busy = false;
    QString m_ErrorString;
};

} // namespace quarn::launcher
