#pragma once

#include "systemsurvey/systemsurveyvalueretriever.h"

#include <QHash>
#include <QString>

namespace systemsurvey {

// The survey's values on Linux: screens from Qt, memory from the C library, the processor's
// identity from the identification instruction (x86 only), its counts from the processor list
// under proc/ and the topology under sys/devices/system/, its clock from cpufreq or the processor
// list, and the graphics adapters from sys/class/drm/, named by the PCI listing program when it
// is installed. Every file read is bounded; a value that cannot be read is 0 or empty.
class TLinuxSystemSurveyValueRetriever : public TSystemSurveyValueRetriever {
public:
    static const int PCI_NAMES_TIMEOUT_MS;

    // RootPath holds proc/ and sys/ ("/" on a running system; tests pass a tree of their own).
    // PciNamesProgram names the program that describes PCI devices: a path, or a name looked up
    // in PATH and the system folders; empty means adapters are not named. It is given
    // PciNamesTimeoutMs to finish.
    explicit TLinuxSystemSurveyValueRetriever(const QString& RootPath = QStringLiteral("/"),
                                              const QString& PciNamesProgram = QStringLiteral("lspci"),
                                              int PciNamesTimeoutMs = PCI_NAMES_TIMEOUT_MS);

    TOperatingSystemInformation getOperatingSystemInformation() const override;
    quint64 getMainMemorySize() const override;
    void getCPUArchitecture(quint64& NumaNumber, quint64& PhysicalNumber, quint64& CoreNumber,
                            quint64& LogicalCoreNumber) const override;
    double getCPUClockSpeed() const override;
    // One entry per graphics card, in card order; a single "not found" entry when there is none.
    TGPUInformationVector getAllGPUInformation() const override;

    // Device names by PCI slot ("0000:01:00.0" -> "Vendor Device") from the machine-readable
    // listing of the PCI listing program ("-mm -D").
    static QHash<QString, QString> PciNamesFromListing(const QByteArray& Listing);

private:
    QString path(const QString& RelativePath) const;
    QHash<QString, QString> pciNames() const;

    QString m_RootPath;
    QString m_PciNamesProgram;
    int m_PciNamesTimeoutMs;
};

} // namespace systemsurvey
