#include "systemsurvey/linuxsystemsurveyvalueretriever.h"

#include "systemsurvey/helperprogram.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QSysInfo>

#include <algorithm>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include <unistd.h>

namespace systemsurvey {

namespace {

// The processor list grows with the number of processors (a few kilobytes each).
const qint64 PROCESSOR_LIST_MAX_BYTES = 16 * 1024 * 1024;
// Attribute files of sys/ hold a single short value.
const qint64 ATTRIBUTE_MAX_BYTES = 64 * 1024;
const qint64 PCI_LISTING_MAX_BYTES = 4 * 1024 * 1024;
const int PCI_NAMES_START_TIMEOUT_MS = 5000;

// Reads a whole file of at most MaxBytes; files of proc/ and sys/ report no size, so it is read
// piece by piece. Nothing when the file cannot be read or is larger.
std::optional<QByteArray> readBoundedFile(const QString& Path, qint64 MaxBytes) {
    QFile file(Path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QByteArray content;
    char buffer[16384];
    for (;;) {
        const qint64 count = file.read(buffer, sizeof(buffer));
        if (count < 0)
            return std::nullopt;
        if (count == 0)
            break;
        if (content.size() + count > MaxBytes)
            return std::nullopt;
        content.append(buffer, static_cast<int>(count));
    }
    return content;
}

QString readAttribute(const QString& Path) {
    const std::optional<QByteArray> content = readBoundedFile(Path, ATTRIBUTE_MAX_BYTES);
    return content ? QString::fromUtf8(*content).trimmed() : QString();
}

// "0x10de" -> 0x10de; 0 when it is not a 32-bit hexadecimal number.
quint32 hexadecimalAttribute(const QString& Path) {
    QString text = readAttribute(Path);
    if (text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
        text = text.mid(2);
    bool ok = false;
    const uint value = text.toUInt(&ok, 16);
    return ok ? quint32(value) : 0;
}

quint64 decimalAttribute(const QString& Path) {
    bool ok = false;
    const quint64 value = readAttribute(Path).toULongLong(&ok, 10);
    return ok ? value : 0;
}

// The entries of a folder named Prefix followed by a number, in numeric order.
std::vector<std::pair<quint64, QString>> numberedEntries(const QString& Folder, const QString& Prefix) {
    const QRegularExpression pattern(
        QStringLiteral("^%1([0-9]{1,9})$").arg(QRegularExpression::escape(Prefix)));
    std::vector<std::pair<quint64, QString>> entries;
    const QStringList names = QDir(Folder).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::System);
    for (const QString& name : names) {
        const QRegularExpressionMatch match = pattern.match(name);
        if (match.hasMatch())
            entries.emplace_back(match.captured(1).toULongLong(), Folder + QLatin1Char('/') + name);
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

// One "processor" block of the processor list; -1 where a field is missing.
struct TProcessorEntry {
    qint64 physicalId = -1;
    qint64 coreId = -1;
    double megahertz = 0.0;
};

std::vector<TProcessorEntry> parseProcessorList(const QByteArray& List) {
    std::vector<TProcessorEntry> processors;
    const QList<QByteArray> lines = List.split('\n');
    for (const QByteArray& line : lines) {
        const int colon = line.indexOf(':');
        if (colon < 0)
            continue;
        const QByteArray key = line.left(colon).trimmed();
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (key == "processor") {
            processors.emplace_back();
            continue;
        }
        if (processors.empty())
            continue;
        bool ok = false;
        if (key == "physical id") {
            const uint number = value.toUInt(&ok);
            if (ok)
                processors.back().physicalId = number;
        } else if (key == "core id") {
            const uint number = value.toUInt(&ok);
            if (ok)
                processors.back().coreId = number;
        } else if (key == "cpu MHz") {
            const double megahertz = value.toDouble(&ok);
            if (ok && megahertz > 0.0 && megahertz < 1.0e7)
                processors.back().megahertz = megahertz;
        }
    }
    return processors;
}

// Number of processors in a kernel CPU list such as "0-3,8,10-11"; 0 when it cannot be read.
quint64 countCpuList(const QString& List) {
    quint64 count = 0;
    const QStringList ranges = List.split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (const QString& range : ranges) {
        const QStringList bounds = range.split(QLatin1Char('-'));
        bool firstOk = false, lastOk = true;
        const quint64 first = bounds.at(0).toULongLong(&firstOk);
        const quint64 last = bounds.size() == 2 ? bounds.at(1).toULongLong(&lastOk) : first;
        if (!firstOk || !lastOk || bounds.size() > 2 || last < first || last - first >= (1u << 24))
            return 0;
        count += last - first + 1;
    }
    return count;
}

quint64 saturatingProduct(long First, long Second) {
    if (First <= 0 || Second <= 0)
        return 0;
    const quint64 first = quint64(First), second = quint64(Second);
    if (first > std::numeric_limits<quint64>::max() / second)
        return std::numeric_limits<quint64>::max();
    return first * second;
}

QString resolveProgram(const QString& Program) {
    if (Program.isEmpty())
        return QString();
    if (Program.contains(QLatin1Char('/'))) {
        const QFileInfo info(Program);
        return info.isFile() && info.isExecutable() ? info.absoluteFilePath() : QString();
    }
    QString found = QStandardPaths::findExecutable(Program);
    if (found.isEmpty())
        found = QStandardPaths::findExecutable(Program, {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin"),
                                                         QStringLiteral("/usr/bin"), QStringLiteral("/bin")});
    return found;
}

// The fields of one line of the machine-readable PCI listing: bare words and quoted texts
// (a backslash takes the next character as it is).
QStringList splitListingLine(const QString& Line) {
    QStringList fields;
    int position = 0;
    const int length = Line.size();
    while (position < length) {
        while (position < length && Line.at(position).isSpace())
            ++position;
        if (position >= length)
            break;
        QString field;
        if (Line.at(position) == QLatin1Char('"')) {
            ++position;
            while (position < length && Line.at(position) != QLatin1Char('"')) {
                if (Line.at(position) == QLatin1Char('\\') && position + 1 < length)
                    ++position;
                field.append(Line.at(position));
                ++position;
            }
            ++position; // the closing quote
            fields.append(field);
        } else {
            while (position < length && !Line.at(position).isSpace())
                field.append(Line.at(position++));
            // Options such as "-r01" are not fields of their own.
            if (!field.startsWith(QLatin1Char('-')) || fields.isEmpty())
                fields.append(field);
        }
    }
    return fields;
}

} // namespace

const int TLinuxSystemSurveyValueRetriever::PCI_NAMES_TIMEOUT_MS = 5000;

TLinuxSystemSurveyValueRetriever::TLinuxSystemSurveyValueRetriever(const QString& RootPath,
                                                                   const QString& PciNamesProgram,
                                                                   int PciNamesTimeoutMs)
    : m_RootPath(RootPath), m_PciNamesProgram(PciNamesProgram), m_PciNamesTimeoutMs(PciNamesTimeoutMs) {
    while (m_RootPath.size() > 1 && m_RootPath.endsWith(QLatin1Char('/')))
        m_RootPath.chop(1);
}

QString TLinuxSystemSurveyValueRetriever::path(const QString& RelativePath) const {
    return m_RootPath == QLatin1String("/") ? m_RootPath + RelativePath
                                            : m_RootPath + QLatin1Char('/') + RelativePath;
}

TOperatingSystemInformation TLinuxSystemSurveyValueRetriever::getOperatingSystemInformation() const {
    QString name = QSysInfo::prettyProductName();
    if (name.isEmpty())
        name = TOperatingSystemInformation::UNIDENTIFIED_LINUX;
    return TOperatingSystemInformation(QStringLiteral("Linux"), name, QSysInfo::kernelVersion());
}

quint64 TLinuxSystemSurveyValueRetriever::getMainMemorySize() const {
    return saturatingProduct(sysconf(_SC_PHYS_PAGES), sysconf(_SC_PAGESIZE));
}

void TLinuxSystemSurveyValueRetriever::getCPUArchitecture(quint64& NumaNumber, quint64& PhysicalNumber,
                                                          quint64& CoreNumber,
                                                          quint64& LogicalCoreNumber) const {
    NumaNumber =
        numberedEntries(path(QStringLiteral("sys/devices/system/node")), QStringLiteral("node")).size();

    const std::optional<QByteArray> list =
        readBoundedFile(path(QStringLiteral("proc/cpuinfo")), PROCESSOR_LIST_MAX_BYTES);
    const std::vector<TProcessorEntry> processors =
        list ? parseProcessorList(*list) : std::vector<TProcessorEntry>();

    // The processor list names packages and cores on x86; elsewhere the topology folders do.
    QSet<qint64> packages;
    QSet<QPair<qint64, qint64>> cores;
    for (const TProcessorEntry& processor : processors) {
        if (processor.physicalId < 0)
            continue;
        packages.insert(processor.physicalId);
        if (processor.coreId >= 0)
            cores.insert(qMakePair(processor.physicalId, processor.coreId));
    }
    const auto cpus = numberedEntries(path(QStringLiteral("sys/devices/system/cpu")), QStringLiteral("cpu"));
    if (packages.isEmpty() || cores.isEmpty()) {
        packages.clear();
        cores.clear();
        for (const auto& cpu : cpus) {
            const QString topology = cpu.second + QStringLiteral("/topology/");
            bool packageOk = false, coreOk = false;
            const qint64 package =
                readAttribute(topology + QStringLiteral("physical_package_id")).toInt(&packageOk);
            const qint64 core = readAttribute(topology + QStringLiteral("core_id")).toInt(&coreOk);
            if (!packageOk || !coreOk)
                continue;
            packages.insert(package);
            cores.insert(qMakePair(package, core));
        }
    }
    PhysicalNumber = quint64(packages.size());
    CoreNumber = quint64(cores.size());

    LogicalCoreNumber = processors.size();
    if (LogicalCoreNumber == 0)
        LogicalCoreNumber =
            countCpuList(readAttribute(path(QStringLiteral("sys/devices/system/cpu/online"))));
}

double TLinuxSystemSurveyValueRetriever::getCPUClockSpeed() const {
    // The nominal clock where the frequency driver tells it, else its highest; both in kHz.
    const auto cpus = numberedEntries(path(QStringLiteral("sys/devices/system/cpu")), QStringLiteral("cpu"));
    for (const auto& cpu : cpus) {
        for (const char* name : {"base_frequency", "cpuinfo_max_freq"}) {
            const quint64 kilohertz =
                decimalAttribute(cpu.second + QStringLiteral("/cpufreq/") + QLatin1String(name));
            if (kilohertz > 0)
                return double(kilohertz) / 1000.0;
        }
    }
    const std::optional<QByteArray> list =
        readBoundedFile(path(QStringLiteral("proc/cpuinfo")), PROCESSOR_LIST_MAX_BYTES);
    if (!list)
        return 0.0;
    for (const TProcessorEntry& processor : parseProcessorList(*list)) {
        if (processor.megahertz > 0.0)
            return processor.megahertz;
    }
    return 0.0;
}

TGPUInformationVector TLinuxSystemSurveyValueRetriever::getAllGPUInformation() const {
    struct TCard {
        QString device;
        QString slot;
        QString driver;
    };
    std::vector<TCard> cards;
    // card0, card1, ...: one per adapter; connectors (card0-DP-1) and render nodes are left out.
    for (const auto& entry : numberedEntries(path(QStringLiteral("sys/class/drm")), QStringLiteral("card"))) {
        TCard card;
        card.device = entry.second + QStringLiteral("/device");
        if (!QFileInfo(card.device).isDir())
            continue;
        const QStringList events =
            readAttribute(card.device + QStringLiteral("/uevent")).split(QLatin1Char('\n'));
        for (const QString& event : events) {
            if (event.startsWith(QLatin1String("DRIVER=")))
                card.driver = event.mid(7).trimmed();
            else if (event.startsWith(QLatin1String("PCI_SLOT_NAME=")))
                card.slot = event.mid(14).trimmed();
        }
        cards.push_back(card);
    }
    if (cards.empty())
        return {TGPUInformation(GPU_NOT_FOUND, 0, 0, 0, QString())};

    const bool anyPciCard =
        std::any_of(cards.begin(), cards.end(), [](const TCard& card) { return !card.slot.isEmpty(); });
    const QHash<QString, QString> names = anyPciCard ? pciNames() : QHash<QString, QString>();

    TGPUInformationVector adapters;
    for (const TCard& card : cards) {
        const QString name = names.value(card.slot);
        // Only a module name that is a plain word may form a path below module/.
        static const QRegularExpression moduleName(QStringLiteral("^[A-Za-z0-9_-]{1,64}$"));
        const QString driverVersion =
            moduleName.match(card.driver).hasMatch()
                ? readAttribute(path(QStringLiteral("sys/module/%1/version").arg(card.driver)))
                      .section(QLatin1Char('\n'), 0, 0)
                : QString();
        adapters.emplace_back(name.isEmpty() ? GPU_NOT_FOUND : name,
                              decimalAttribute(card.device + QStringLiteral("/mem_info_vram_total")),
                              hexadecimalAttribute(card.device + QStringLiteral("/vendor")),
                              hexadecimalAttribute(card.device + QStringLiteral("/device")), driverVersion);
    }
    return adapters;
}

QHash<QString, QString> TLinuxSystemSurveyValueRetriever::pciNames() const {
    const QString program = resolveProgram(m_PciNamesProgram);
    if (program.isEmpty())
        return {};
    const THelperProgramResult listing =
        runHelperProgram(program, {QStringLiteral("-mm"), QStringLiteral("-D")}, PCI_NAMES_START_TIMEOUT_MS,
                         m_PciNamesTimeoutMs, PCI_LISTING_MAX_BYTES);
    return PciNamesFromListing(listing.output);
}

QHash<QString, QString> TLinuxSystemSurveyValueRetriever::PciNamesFromListing(const QByteArray& Listing) {
    QHash<QString, QString> names;
    const QList<QByteArray> lines = Listing.split('\n');
    for (const QByteArray& line : lines) {
        // Slot, class, vendor, device, then the subsystem's vendor and device.
        const QStringList fields = splitListingLine(QString::fromUtf8(line));
        if (fields.size() < 4)
            continue;
        const QString name = (fields.at(2) + QLatin1Char(' ') + fields.at(3)).simplified();
        if (!name.isEmpty())
            names.insert(fields.at(0), name);
    }
    return names;
}

} // namespace systemsurvey
