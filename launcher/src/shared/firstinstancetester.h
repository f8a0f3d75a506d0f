#pragma once

#include <QObject>
#include <QSharedMemory>

namespace shared {

// Tells whether this is the only running launcher on the machine, by creating a named
// one-byte shared-memory segment that this process then holds for the tester's lifetime.
class FirstInstanceTester : public QObject {
    Q_OBJECT
public:
    static const char UNIQUE_KEY[];

    explicit FirstInstanceTester(QObject* parent = nullptr);
    FirstInstanceTester(const char* key, QObject* parent);

    bool isFirstInstance() const { return m_IsFirstInstance; }

private:
    bool createSegment();

    QSharedMemory m_SharedMemory;
    bool m_IsFirstInstance = false;
};

} // namespace shared
