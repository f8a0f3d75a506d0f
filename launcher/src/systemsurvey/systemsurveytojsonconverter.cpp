#include "systemsurvey/systemsurveytojsonconverter.h"

#include "shared/machineidentifier.h"

#include <algorithm>

namespace systemsurvey {

namespace {

// The low 32 bits, as the signed integer the endpoint reads.
int lowInt32(quint64 Value) {
    return static_cast<int>(static_cast<qint32>(static_cast<quint32>(Value)));
}

// Byte counts are JSON numbers, which Qt holds as doubles: up to 2^53 they are exact. Larger
// values (only a saturated size gets there) are written as 2^53 instead of a rounded number that
// could lie beyond the signed 64-bit range readers expect.
qint64 byteCount(quint64 Value) {
    const quint64 largestExact = quint64(1) << 53;
    return static_cast<qint64>(std::min(Value, largestExact));
}

} // namespace

const QString TSystemSurveyToJsonConverter::FIELD_DATA_TYPE = QStringLiteral("dataType");
const QString TSystemSurveyToJsonConverter::FIELD_CLIENT_ID = QStringLiteral("clientID");
const QString TSystemSurveyToJsonConverter::FIELD_MONITORS = QStringLiteral("monitors");
const QString TSystemSurveyToJsonConverter::FIELD_OS = QStringLiteral("operatingSystem");
const QString TSystemSurveyToJsonConverter::FIELD_MAIN_MEMORY_SIZE = QStringLiteral("mainMemorySize");
const QString TSystemSurveyToJsonConverter::FIELD_CPU = QStringLiteral("cpu");
const QString TSystemSurveyToJsonConverter::FIELD_GPU = QStringLiteral("gpu");

const QString TSystemSurveyToJsonConverter::FIELD_MONITOR_WIDTH = QStringLiteral("width");
const QString TSystemSurveyToJsonConverter::FIELD_MONITOR_HEIGHT = QStringLiteral("height");
const QString TSystemSurveyToJsonConverter::FIELD_MONITOR_PRIMARY = QStringLiteral("primary");
const QString TSystemSurveyToJsonConverter::FIELD_MONITOR_REFRESH_RATE = QStringLiteral("refreshRate");

const QString TSystemSurveyToJsonConverter::FIELD_OS_BASE_NAME = QStringLiteral("baseSystem");
const QString TSystemSurveyToJsonConverter::FIELD_OS_NAME = QStringLiteral("name");
const QString TSystemSurveyToJsonConverter::FIELD_OS_RELEASE = QStringLiteral("release");

const QString TSystemSurveyToJsonConverter::FIELD_CPU_MANUFACTURER = QStringLiteral("manufacturer");
const QString TSystemSurveyToJsonConverter::FIELD_CPU_BRAND_NAME = QStringLiteral("brandName");
const QString TSystemSurveyToJsonConverter::FIELD_CPU_64_BIT = QStringLiteral("64Bit");
const QString TSystemSurveyToJsonConverter::FIELD_CPU_SSE = QStringLiteral("sse");
const QString TSystemSurveyToJsonConverter::FIELD_CPU_SSE2 = QStringLiteral("sse2");
const QString TSystemSurveyToJsonConverter::FIELD_CPU_NUMA_NUMBER = QStringLiteral("NUMANumber");
const QString TSystemSurveyToJsonConverter::FIELD_CPU_PHYSICAL_NUMBER = QStringLiteral("physicalNumber");
const QString TSystemSurveyToJsonConverter::FIELD_CPU_CORE_NUMBER = QStringLiteral("coreNumber");
const QString TSystemSurveyToJsonConverter::FIELD_CPU_LOGICAL_CORE_NUMBER =
    QStringLiteral("logicalCoreNumber");
const QString TSystemSurveyToJsonConverter::FIELD_CPU_CLOCK_SPEED = QStringLiteral("clockSpeed");

const QString TSystemSurveyToJsonConverter::FIELD_GPU_DEVICE_STRING = QStringLiteral("deviceString");
const QString TSystemSurveyToJsonConverter::FIELD_GPU_MEMORY_SIZE = QStringLiteral("videoMemorySize");
const QString TSystemSurveyToJsonConverter::FIELD_GPU_VENDOR_ID = QStringLiteral("vendorId");
const QString TSystemSurveyToJsonConverter::FIELD_GPU_DEVICE_ID = QStringLiteral("deviceId");
const QString TSystemSurveyToJsonConverter::FIELD_GPU_DRIVER_VERSION = QStringLiteral("driverVersion");

TSystemSurveyToJsonConverter::~TSystemSurveyToJsonConverter() = default;

QJsonDocument TSystemSurveyToJsonConverter::convertSystemSurveyDelegated(const TSystemSurvey& Survey) const {
    return convertSystemSurvey(Survey);
}

QJsonDocument TSystemSurveyToJsonConverter::convertSystemSurvey(const TSystemSurvey& Survey) {
    return convertSystemSurvey(Survey, shared::TMachineIdentifier::getUniqueIdentifier());
}

QJsonDocument TSystemSurveyToJsonConverter::convertSystemSurvey(const TSystemSurvey& Survey,
                                                                const QString& ClientId) {
    QJsonObject object;
    object.insert(FIELD_DATA_TYPE, 0);
    object.insert(FIELD_CLIENT_ID, ClientId);
    object.insert(FIELD_MONITORS, convertMonitorInformationVector(Survey.getMonitors()));
    object.insert(FIELD_OS, convertOperatingSystemInformation(Survey.getOperatingSystem()));
    object.insert(FIELD_MAIN_MEMORY_SIZE, byteCount(Survey.getMainMemorySize()));
    object.insert(FIELD_CPU, convertCPUInformation(Survey.getCPU()));
    object.insert(FIELD_GPU, convertGPUInformationVector(Survey.getGPUs()));
    return QJsonDocument(object);
}

QJsonObject TSystemSurveyToJsonConverter::convertMonitorInformation(const TMonitorInformation& Monitor) {
    QJsonObject object;
    object.insert(FIELD_MONITOR_WIDTH, lowInt32(Monitor.getWidth()));
    object.insert(FIELD_MONITOR_HEIGHT, lowInt32(Monitor.getHeight()));
    object.insert(FIELD_MONITOR_PRIMARY, Monitor.isPrimary());
    object.insert(FIELD_MONITOR_REFRESH_RATE, lowInt32(Monitor.getRefreshRate()));
    return object;
}

QJsonArray
TSystemSurveyToJsonConverter::convertMonitorInformationVector(const TMonitorInformationVector& Monitors) {
    QJsonArray array;
    for (const TMonitorInformation& monitor : Monitors)
        array.append(convertMonitorInformation(monitor));
    return array;
}

QJsonObject TSystemSurveyToJsonConverter::convertOperatingSystemInformation(
    const TOperatingSystemInformation& OperatingSystem) {
    QJsonObject object;
    object.insert(FIELD_OS_BASE_NAME, OperatingSystem.getBaseSystem());
    object.insert(FIELD_OS_NAME, OperatingSystem.getName());
    if (!OperatingSystem.getRelease().isEmpty())
        object.insert(FIELD_OS_RELEASE, OperatingSystem.getRelease());
    return object;
}

QJsonObject TSystemSurveyToJsonConverter::convertCPUInformation(const TCPUInformation& CPU) {
    QJsonObject object;
    object.insert(FIELD_CPU_MANUFACTURER, CPU.getManufacturer());
    object.insert(FIELD_CPU_BRAND_NAME, CPU.getBrandName());
    object.insert(FIELD_CPU_64_BIT, CPU.is64Bit());
    object.insert(FIELD_CPU_SSE, CPU.hasSse());
    object.insert(FIELD_CPU_SSE2, CPU.hasSse2());
    object.insert(FIELD_CPU_NUMA_NUMBER, lowInt32(CPU.getNumaNumber()));
    object.insert(FIELD_CPU_PHYSICAL_NUMBER, lowInt32(CPU.getPhysicalNumber()));
    object.insert(FIELD_CPU_CORE_NUMBER, lowInt32(CPU.getCoreNumber()));
    object.insert(FIELD_CPU_LOGICAL_CORE_NUMBER, lowInt32(CPU.getLogicalCoreNumber()));
    object.insert(FIELD_CPU_CLOCK_SPEED, CPU.getClockSpeed());
    return object;
}

QJsonObject TSystemSurveyToJsonConverter::convertGPUInformation(const TGPUInformation& GPU) {
    QJsonObject object;
    object.insert(FIELD_GPU_DEVICE_STRING, GPU.getDeviceString());
    object.insert(FIELD_GPU_MEMORY_SIZE, byteCount(GPU.getVideoMemorySize()));
    if (GPU.getVendorId() != 0)
        object.insert(FIELD_GPU_VENDOR_ID, static_cast<qint64>(GPU.getVendorId()));
    if (GPU.getDeviceId() != 0)
        object.insert(FIELD_GPU_DEVICE_ID, static_cast<qint64>(GPU.getDeviceId()));
    if (!GPU.getDriverVersion().isEmpty())
        object.insert(FIELD_GPU_DRIVER_VERSION, GPU.getDriverVersion());
    return object;
}

QJsonArray TSystemSurveyToJsonConverter::convertGPUInformationVector(const TGPUInformationVector& GPUs) {
    QJsonArray array;
    for (const TGPUInformation& gpu : GPUs)
        array.append(convertGPUInformation(gpu));
    return array;
}

} // namespace systemsurvey
