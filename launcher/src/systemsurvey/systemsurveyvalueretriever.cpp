#include "systemsurvey/systemsurveyvalueretriever.h"

#include "systemsurvey/cpuvalueretriever.h"
#include "systemsurvey/helperprogram.h"
#include "systemsurvey/linuxsystemsurveyvalueretriever.h"
#include "systemsurvey/monitorvalueretriever.h"

#include <QDebug>
#include <QStringList>
#include <QSysInfo>
#include <QXmlStreamReader>

#include <cstdint>
#include <limits>

#ifdef Q_OS_MACOS
#include <sys/sysctl.h>
#include <sys/types.h>
#endif

namespace systemsurvey {

namespace {

#ifdef Q_OS_MACOS
const int DISPLAY_REPORT_START_TIMEOUT_MS = 30000;
const int DISPLAY_REPORT_FINISH_TIMEOUT_MS = 30000;
// A display report is a few kilobytes per adapter.
const qint64 DISPLAY_REPORT_MAX_BYTES = 16 * 1024 * 1024;
#endif

quint64 saturatingShift(quint64 Amount, int Shift) {
    if (Amount > (std::numeric_limits<quint64>::max() >> Shift))
        return std::numeric_limits<quint64>::max();
    return Amount << Shift;
}

bool isAllDigits(const QString& Text) {
    if (Text.isEmpty())
        return false;
    for (const QChar character : Text) {
        if (character < QLatin1Char('0') || character > QLatin1Char('9'))
            return false;
    }
    return true;
}

} // namespace

const QString TSystemSurveyValueRetriever::GPU_NOT_FOUND = QStringLiteral("not found");

TSystemSurveyValueRetriever::TSystemSurveyValueRetriever()
    : m_Monitors(TMonitorValueRetriever::getAllMonitorsInformation()) {}

TSystemSurveyValueRetriever::~TSystemSurveyValueRetriever() = default;

std::shared_ptr<TSystemSurveyValueRetriever> TSystemSurveyValueRetriever::createForThisSystem() {
#ifdef Q_OS_LINUX
    return std::make_shared<TLinuxSystemSurveyValueRetriever>();
#else
    return std::make_shared<TSystemSurveyValueRetriever>();
#endif
}

TMonitorInformationVector TSystemSurveyValueRetriever::getAllMonitorsInformation() const {
    return m_Monitors;
}

TCPUInformation TSystemSurveyValueRetriever::getCPUInformation() const {
    quint64 numaNumber = 0, physicalNumber = 0, coreNumber = 0, logicalCoreNumber = 0;
    getCPUArchitecture(numaNumber, physicalNumber, coreNumber, logicalCoreNumber);
    return TCPUInformation(TCPUValueRetriever::GetCPUManufacturer(), TCPUValueRetriever::GetCPUBrandName(),
                           TCPUValueRetriever::GetCPU64BitFlag(), TCPUValueRetriever::GetCPUSseFlag(),
                           TCPUValueRetriever::GetCPUSse2Flag(), numaNumber, physicalNumber, coreNumber,
                           logicalCoreNumber, getCPUClockSpeed());
}

TOperatingSystemInformation TSystemSurveyValueRetriever::getOperatingSystemInformation() const {
#ifdef Q_OS_MACOS
    return TOperatingSystemInformation(QStringLiteral("Mac"), QSysInfo::prettyProductName(), QString());
#else
    return TOperatingSystemInformation(QSysInfo::kernelType(), QSysInfo::prettyProductName(),
                                       QSysInfo::kernelVersion());
#endif
}

quint64 TSystemSurveyValueRetriever::getMainMemorySize() const {
#ifdef Q_OS_MACOS
    int names[2] = {CTL_HW, HW_MEMSIZE};
    uint64_t size = 0;
    size_t length = sizeof(size);
    if (sysctl(names, 2, &size, &length, nullptr, 0) != 0 || length != sizeof(size))
        return 0;
    return size;
#else
    return 0;
#endif
}

void TSystemSurveyValueRetriever::getCPUArchitecture(quint64& NumaNumber, quint64& PhysicalNumber,
                                                     quint64& CoreNumber, quint64& LogicalCoreNumber) const {
    NumaNumber = 0;
    PhysicalNumber = 0;
    CoreNumber = 0;
    LogicalCoreNumber = 0;
#ifdef Q_OS_MACOS
    int32_t value = 0;
    size_t length = sizeof(value);
    if (sysctlbyname("hw.physicalcpu", &value, &length, nullptr, 0) == 0 && length == sizeof(value) &&
        value > 0)
        CoreNumber = quint64(value);
    value = 0;
    length = sizeof(value);
    if (sysctlbyname("hw.logicalcpu", &value, &length, nullptr, 0) == 0 && length == sizeof(value) &&
        value > 0)
        LogicalCoreNumber = quint64(value);
#endif
}

double TSystemSurveyValueRetriever::getCPUClockSpeed() const {
#ifdef Q_OS_MACOS
    uint64_t hertz = 0;
    size_t length = sizeof(hertz);
    if (sysctlbyname("hw.cpufrequency", &hertz, &length, nullptr, 0) != 0 || length != sizeof(hertz))
        return 0.0;
    return double(hertz) / 1000000.0;
#else
    return 0.0;
#endif
}

TGPUInformationVector TSystemSurveyValueRetriever::getAllGPUInformation() const {
#ifdef Q_OS_MACOS
    const THelperProgramResult report = runHelperProgram(
        QStringLiteral("system_profiler"), {QStringLiteral("SPDisplaysDataType"), QStringLiteral("-xml")},
        DISPLAY_REPORT_START_TIMEOUT_MS, DISPLAY_REPORT_FINISH_TIMEOUT_MS, DISPLAY_REPORT_MAX_BYTES);
    return GPUInformationFromDisplayReport(report.output);
#else
    return {TGPUInformation(GPU_NOT_FOUND, 0, 0, 0, QString())};
#endif
}

TGPUInformationVector TSystemSurveyValueRetriever::GPUInformationFromDisplayReport(const QByteArray& Report) {
    QXmlStreamReader reader(Report);
    QString deviceString = GPU_NOT_FOUND;
    quint64 videoMemorySize = 0;

    const auto readToNextStartElement = [&reader]() {
        while (!reader.atEnd()) {
            reader.readNext();
            if (reader.isStartElement())
                return true;
        }
        return false;
    };

    // Set when the element after a key turned out not to be its string value: that element is
    // looked at again as the next candidate.
    bool positioned = false;
    while (positioned || readToNextStartElement()) {
        positioned = false;
        if (reader.name() != QLatin1String("key"))
            continue;
        const QString key = reader.readElementText();
        const bool isModel = key == QLatin1String("sppci_model");
        const bool isVideoMemory = key == QLatin1String("spdisplays_vram");
        if (!isModel && !isVideoMemory)
            continue;
        if (!readToNextStartElement())
            break;
        if (reader.name() != QLatin1String("string")) {
            positioned = true;
            continue;
        }
        const QString value = reader.readElementText();
        if (reader.hasError())
            break;
        if (isModel)
            deviceString = value;
        else
            videoMemorySize = VideoMemorySizeFromText(value);
    }
    if (reader.hasError() && reader.error() != QXmlStreamReader::PrematureEndOfDocumentError)
        qWarning().noquote() << "Problem while reading GPU information:" << reader.errorString();
    return {TGPUInformation(deviceString, videoMemorySize, 0, 0, QString())};
}

quint64 TSystemSurveyValueRetriever::VideoMemorySizeFromText(const QString& Text) {
    const QStringList parts = Text.simplified().split(QLatin1Char(' '));
    const QString& number = parts.at(0);
    bool ok = false;
    quint64 amount = number.toULongLong(&ok, 10);
    if (!ok) {
        // A number too long for 64 bits is as large as can be said; anything else is no number.
        if (!isAllDigits(number))
            return 0;
        amount = std::numeric_limits<quint64>::max();
    }
    if (parts.size() < 2 || parts.at(1).isEmpty())
        return amount;
    switch (parts.at(1).at(0).toUpper().unicode()) {
    case 'G':
        return saturatingShift(amount, 30);
    case 'M':
        return saturatingShift(amount, 20);
    case 'K':
        return saturatingShift(amount, 10);
    default:
        return amount;
    }
}

} // namespace systemsurvey
