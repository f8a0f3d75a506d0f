#pragma once

#include <QString>
#include <QtGlobal>

#include <vector>

namespace systemsurvey {

// One screen as the windowing system reports it.
class TMonitorInformation {
public:
    TMonitorInformation() = default;
    TMonitorInformation(quint64 Width, quint64 Height, bool Primary, quint64 RefreshRate)
        : m_Width(Width), m_Height(Height), m_Primary(Primary), m_RefreshRate(RefreshRate) {}

    quint64 getWidth() const { return m_Width; }
    quint64 getHeight() const { return m_Height; }
    bool isPrimary() const { return m_Primary; }
    // Hz, truncated to a whole number.
    quint64 getRefreshRate() const { return m_RefreshRate; }

    // A screen without area is not worth reporting.
    bool isValid() const { return m_Width != 0 && m_Height != 0; }

    bool operator==(const TMonitorInformation& Other) const {
        return m_Width == Other.m_Width && m_Height == Other.m_Height && m_Primary == Other.m_Primary &&
               m_RefreshRate == Other.m_RefreshRate;
    }
    bool operator!=(const TMonitorInformation& Other) const { return !(*this == Other); }

private:
    quint64 m_Width = 0;
    quint64 m_Height = 0;
    bool m_Primary = false;
    quint64 m_RefreshRate = 0;
};

class TOperatingSystemInformation {
public:
    static const QString UNIDENTIFIED_WINDOWS;
    static const QString UNIDENTIFIED_MAC;
    static const QString UNIDENTIFIED_LINUX;

    TOperatingSystemInformation() = default;
    TOperatingSystemInformation(const QString& BaseSystem, const QString& Name, const QString& Release)
        : m_BaseSystem(BaseSystem), m_Name(Name), m_Release(Release) {}

    const QString& getBaseSystem() const { return m_BaseSystem; }
    const QString& getName() const { return m_Name; }
    const QString& getRelease() const { return m_Release; }

    bool operator==(const TOperatingSystemInformation& Other) const {
        return m_BaseSystem == Other.m_BaseSystem && m_Name == Other.m_Name && m_Release == Other.m_Release;
    }
    bool operator!=(const TOperatingSystemInformation& Other) const { return !(*this == Other); }

private:
    QString m_BaseSystem;
    QString m_Name;
    QString m_Release;
};

class TCPUInformation {
public:
    TCPUInformation() = default;
    TCPUInformation(const QString& Manufacturer, const QString& BrandName, bool Is64Bit, bool HasSse,
                    bool HasSse2, quint64 NumaNumber, quint64 PhysicalNumber, quint64 CoreNumber,
                    quint64 LogicalCoreNumber, double ClockSpeed)
        : m_Manufacturer(Manufacturer), m_BrandName(BrandName), m_64Bit(Is64Bit), m_Sse(HasSse),
          m_Sse2(HasSse2), m_NumaNumber(NumaNumber), m_PhysicalNumber(PhysicalNumber),
          m_CoreNumber(CoreNumber), m_LogicalCoreNumber(LogicalCoreNumber), m_ClockSpeed(ClockSpeed) {}

    const QString& getManufacturer() const { return m_Manufacturer; }
    const QString& getBrandName() const { return m_BrandName; }
    bool is64Bit() const { return m_64Bit; }
    bool hasSse() const { return m_Sse; }
    bool hasSse2() const { return m_Sse2; }
    quint64 getNumaNumber() const { return m_NumaNumber; }
    quint64 getPhysicalNumber() const { return m_PhysicalNumber; }
    quint64 getCoreNumber() const { return m_CoreNumber; }
    quint64 getLogicalCoreNumber() const { return m_LogicalCoreNumber; }
    // MHz.
    double getClockSpeed() const { return m_ClockSpeed; }

    bool operator==(const TCPUInformation& Other) const {
        return m_Manufacturer == Other.m_Manufacturer && m_BrandName == Other.m_BrandName &&
               m_64Bit == Other.m_64Bit && m_Sse == Other.m_Sse && m_Sse2 == Other.m_Sse2 &&
               m_NumaNumber == Other.m_NumaNumber && m_PhysicalNumber == Other.m_PhysicalNumber &&
               m_CoreNumber == Other.m_CoreNumber && m_LogicalCoreNumber == Other.m_LogicalCoreNumber &&
               m_ClockSpeed == Other.m_ClockSpeed;
    }
    bool operator!=(const TCPUInformation& Other) const { return !(*this == Other); }

private:
    QString m_Manufacturer;
    QString m_BrandName;
    bool m_64Bit = false;
    bool m_Sse = false;
    bool m_Sse2 = false;
    quint64 m_NumaNumber = 0;
    quint64 m_PhysicalNumber = 0;
    quint64 m_CoreNumber = 0;
    quint64 m_LogicalCoreNumber = 0;
    double m_ClockSpeed = 0.0;
};

class TGPUInformation {
public:
    TGPUInformation() = default;
    TGPUInformation(const QString& DeviceString, quint64 VideoMemorySize, quint32 VendorId, quint32 DeviceId,
                    const QString& DriverVersion)
        : m_DeviceString(DeviceString), m_VideoMemorySize(VideoMemorySize), m_VendorId(VendorId),
          m_DeviceId(DeviceId), m_DriverVersion(DriverVersion) {}

    const QString& getDeviceString() const { return m_DeviceString; }
    // Bytes.
    quint64 getVideoMemorySize() const { return m_VideoMemorySize; }
    quint32 getVendorId() const { return m_VendorId; }
    quint32 getDeviceId() const { return m_DeviceId; }
    const QString& getDriverVersion() const { return m_DriverVersion; }

    bool operator==(const TGPUInformation& Other) const {
        return m_DeviceString == Other.m_DeviceString && m_VideoMemorySize == Other.m_VideoMemorySize &&
               m_VendorId == Other.m_VendorId && m_DeviceId == Other.m_DeviceId &&
               m_DriverVersion == Other.m_DriverVersion;
    }
    bool operator!=(const TGPUInformation& Other) const { return !(*this == Other); }

private:
    QString m_DeviceString;
    quint64 m_VideoMemorySize = 0;
    quint32 m_VendorId = 0;
    quint32 m_DeviceId = 0;
    QString m_DriverVersion;
};

using TMonitorInformationVector = std::vector<TMonitorInformation>;
using TGPUInformationVector = std::vector<TGPUInformation>;

// Everything the survey reports about this machine.
class TSystemSurvey {
public:
    TSystemSurvey() = default;
    TSystemSurvey(const TMonitorInformationVector& Monitors,
                  const TOperatingSystemInformation& OperatingSystem, quint64 MainMemorySize,
                  const TCPUInformation& CPU, const TGPUInformationVector& GPUs)
        : m_Monitors(Monitors), m_OperatingSystem(OperatingSystem), m_MainMemorySize(MainMemorySize),
          m_CPU(CPU), m_GPUs(GPUs) {}

    const TMonitorInformationVector& getMonitors() const { return m_Monitors; }
    const TOperatingSystemInformation& getOperatingSystem() const { return m_OperatingSystem; }
    // Bytes.
    quint64 getMainMemorySize() const { return m_MainMemorySize; }
    const TCPUInformation& getCPU() const { return m_CPU; }
    const TGPUInformationVector& getGPUs() const { return m_GPUs; }

    bool operator==(const TSystemSurvey& Other) const {
        return m_Monitors == Other.m_Monitors && m_OperatingSystem == Other.m_OperatingSystem &&
               m_MainMemorySize == Other.m_MainMemorySize && m_CPU == Other.m_CPU && m_GPUs == Other.m_GPUs;
    }
    bool operator!=(const TSystemSurvey& Other) const { return !(*this == Other); }

private:
    TMonitorInformationVector m_Monitors;
    TOperatingSystemInformation m_OperatingSystem;
    quint64 m_MainMemorySize = 0;
    TCPUInformation m_CPU;
    TGPUInformationVector m_GPUs;
};

} // namespace systemsurvey
