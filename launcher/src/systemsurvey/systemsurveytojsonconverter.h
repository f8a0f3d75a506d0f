#pragma once

#include "systemsurvey/systemsurvey.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

namespace systemsurvey {

// Turns the survey record into the document the survey endpoint expects. Counts held as 64-bit
// numbers are written from their low 32 bits as signed JSON integers; memory sizes as 64-bit
// numbers. Optional keys (the release, and a GPU's ids and driver version) are left out when
// empty or 0.
class TSystemSurveyToJsonConverter {
public:
    static const QString FIELD_DATA_TYPE;
    static const QString FIELD_CLIENT_ID;
    static const QString FIELD_MONITORS;
    static const QString FIELD_OS;
    static const QString FIELD_MAIN_MEMORY_SIZE;
    static const QString FIELD_CPU;
    static const QString FIELD_GPU;

    static const QString FIELD_MONITOR_WIDTH;
    static const QString FIELD_MONITOR_HEIGHT;
    static const QString FIELD_MONITOR_PRIMARY;
    static const QString FIELD_MONITOR_REFRESH_RATE;

    static const QString FIELD_OS_BASE_NAME;
    static const QString FIELD_OS_NAME;
    static const QString FIELD_OS_RELEASE;

    static const QString FIELD_CPU_MANUFACTURER;
    static const QString FIELD_CPU_BRAND_NAME;
    static const QString FIELD_CPU_64_BIT;
    static const QString FIELD_CPU_SSE;
    static const QString FIELD_CPU_SSE2;
    static const QString FIELD_CPU_NUMA_NUMBER;
    static const QString FIELD_CPU_PHYSICAL_NUMBER;
    static const QString FIELD_CPU_CORE_NUMBER;
    static const QString FIELD_CPU_LOGICAL_CORE_NUMBER;
    static const QString FIELD_CPU_CLOCK_SPEED;

    static const QString FIELD_GPU_DEVICE_STRING;
    static const QString FIELD_GPU_MEMORY_SIZE;
    static const QString FIELD_GPU_VENDOR_ID;
    static const QString FIELD_GPU_DEVICE_ID;
    static const QString FIELD_GPU_DRIVER_VERSION;

    virtual ~TSystemSurveyToJsonConverter();

    virtual QJsonDocument convertSystemSurveyDelegated(const TSystemSurvey& Survey) const;

    // The client identifier is the machine's anonymous identifier.
    static QJsonDocument convertSystemSurvey(const TSystemSurvey& Survey);
    // The same with a given client identifier.
    static QJsonDocument convertSystemSurvey(const TSystemSurvey& Survey, const QString& ClientId);
    static QJsonObject convertMonitorInformation(const TMonitorInformation& Monitor);
    static QJsonArray convertMonitorInformationVector(const TMonitorInformationVector& Monitors);
    static QJsonObject convertOperatingSystemInformation(const TOperatingSystemInformation& OperatingSystem);
    static QJsonObject convertCPUInformation(const TCPUInformation& CPU);
    static QJsonObject convertGPUInformation(const TGPUInformation& GPU);
    static QJsonArray convertGPUInformationVector(const TGPUInformationVector& GPUs);
};

} // namespace systemsurvey
