#include "shared/firstinstancetester.h"

#include <stdexcept>
#include <string>

namespace shared {

const char FirstInstanceTester::UNIQUE_KEY[] = "5d2c9e04-38fb-4c71-b6d2-0e9f3a8c1b57";

FirstInstanceTester::FirstInstanceTester(QObject* parent) : FirstInstanceTester(UNIQUE_KEY, parent) {}

FirstInstanceTester::FirstInstanceTester(const char* key, QObject* parent)
    : QObject(parent), m_SharedMemory(QString::fromLatin1(key)) {
    m_IsFirstInstance = createSegment();
}

bool FirstInstanceTester::createSegment() {
    if (m_SharedMemory.create(1, QSharedMemory::ReadWrite))
        return true;
    if (m_SharedMemory.error() == QSharedMemory::AlreadyExists) {
        // Where segments outlive their processes (System V on Linux), a launcher that crashed or
        // was killed leaves its segment behind. Attaching and detaching again removes a segment
        // that no process holds any more; a running launcher stays attached, so its segment
        // survives and the second create below fails as it should.
        if (m_SharedMemory.attach())
            m_SharedMemory.detach();
        if (m_SharedMemory.create(1, QSharedMemory::ReadWrite))
            return true;
        if (m_SharedMemory.error() == QSharedMemory::AlreadyExists)
            return false;
    }
    throw std::runtime_error("QSharedMemory::SharedMemoryError(" + std::to_string(m_SharedMemory.error()) +
                             ")");
}

} // namespace shared
