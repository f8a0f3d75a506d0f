#pragma once

#include "systemsurvey/systemsurvey.h"

#include <QByteArray>
#include <QString>

#include <memory>

namespace systemsurvey {

// The source of every value of the survey. The operations are virtual so that another platform
// or a test can provide its own; this class itself queries macOS (on other systems it reports
// what Qt knows and zeros for the rest). The screens are read when the source is created, which
// must happen on the GUI thread; every other value is read when asked, on any thread.
class TSystemSurveyValueRetriever {
public:
    TSystemSurveyValueRetriever();
    virtual ~TSystemSurveyValueRetriever();

    virtual TMonitorInformationVector getAllMonitorsInformation() const;
    // Manufacturer, brand and feature flags from the processor identification instruction; the
    // counts from getCPUArchitecture and the clock from getCPUClockSpeed.
    virtual TCPUInformation getCPUInformation() const;
    virtual TOperatingSystemInformation getOperatingSystemInformation() const;
    // Bytes; 0 when unknown.
    virtual quint64 getMainMemorySize() const;
    // Each output is 0 when unknown.
    virtual void getCPUArchitecture(quint64& NumaNumber, quint64& PhysicalNumber, quint64& CoreNumber,
                                    quint64& LogicalCoreNumber) const;
    // MHz; 0 when unknown.
    virtual double getCPUClockSpeed() const;
    virtual TGPUInformationVector getAllGPUInformation() const;

    // The value source for the system the launcher runs on.
    static std::shared_ptr<TSystemSurveyValueRetriever> createForThisSystem();

    // The adapter described by the XML display report of macOS ("system_profiler
    // SPDisplaysDataType -xml"): always exactly one entry, with the last model and the last
    // video memory size the report names ("not found" and 0 when it names none).
    static TGPUInformationVector GPUInformationFromDisplayReport(const QByteArray& Report);
    // A memory size written as a number and a unit ("1536 MB", "2 GB", "512 kB"): G, M and K
    // (either case) are binary multiples, anything else or no unit leaves the number as bytes.
    // Text that does not start with a number gives 0; sizes beyond 64 bits saturate.
    static quint64 VideoMemorySizeFromText(const QString& Text);

    static const QString GPU_NOT_FOUND;

private:
    TMonitorInformationVector m_Monitors;
};

} // namespace systemsurvey
