// Collection of the hardware survey: the processor tables, the display report of macOS and its
// memory texts, the Linux value source over fixture trees and over this machine, the helper
// program runner's limits, and the creator.
#include "systemsurvey/cpuvalueretriever.h"
#include "systemsurvey/helperprogram.h"
#include "systemsurvey/linuxsystemsurveyvalueretriever.h"
#include "systemsurvey/monitorvalueretriever.h"
#include "systemsurvey/systemsurveycreator.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>
#include <limits>

#include <unistd.h>

using namespace systemsurvey;

Q_DECLARE_METATYPE(TGPUInformationVector)

namespace {

// Files of a fixture tree: relative path -> content; a path ending in '/' is an empty folder.
using TTree = QMap<QString, QByteArray>;

bool writeTree(const QString& root, const TTree& tree) {
    for (auto entry = tree.constBegin(); entry != tree.constEnd(); ++entry) {
        const QString path = root + QLatin1Char('/') + entry.key();
        if (entry.key().endsWith(QLatin1Char('/'))) {
            if (!QDir().mkpath(path))
                return false;
            continue;
        }
        if (!QDir().mkpath(QFileInfo(path).path()))
            return false;
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(entry.value()) != entry.value().size())
            return false;
    }
    return true;
}

QString writeScript(const QString& path, const QByteArray& body) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return QString();
    file.write("#!/bin/sh\n" + body + "\n");
    file.close();
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return path;
}

// One processor block of the processor list as x86 Linux writes it.
QByteArray x86Processor(int index, int package, int core, const char* megahertz) {
    return QByteArray("processor\t: ") + QByteArray::number(index) +
           "\nvendor_id\t: GenuineIntel\nmodel name\t: Fixture CPU\ncpu MHz\t\t: " + megahertz +
           "\nphysical id\t: " + QByteArray::number(package) +
           "\nsiblings\t: 4\ncore id\t\t: " + QByteArray::number(core) +
           "\ncpu cores\t: 2\nflags\t\t: fpu sse sse2\n\n";
}

TTree card(const QString& name, const char* vendor, const char* device, const char* driver,
           const char* slot) {
    const QString folder = QStringLiteral("sys/class/drm/") + name + QStringLiteral("/device/");
    return {{folder + QStringLiteral("vendor"), QByteArray(vendor) + "\n"},
            {folder + QStringLiteral("device"), QByteArray(device) + "\n"},
            {folder + QStringLiteral("uevent"),
             QByteArray("DRIVER=") + driver + "\nPCI_CLASS=30000\nPCI_ID=" + QByteArray(vendor).mid(2) + ":" +
                 QByteArray(device).mid(2) + "\nPCI_SLOT_NAME=" + slot + "\nMODALIAS=pci:v0\n"}};
}

TTree merged(std::initializer_list<TTree> parts) {
    TTree tree;
    for (const TTree& part : parts)
        tree.insert(part);
    return tree;
}

bool processIsGone(qint64 pid) {
    return pid > 0 && !QFileInfo::exists(QStringLiteral("/proc/%1").arg(pid));
}

} // namespace

class TestSurveyCollection : public QObject {
    Q_OBJECT

private slots:
    void manufacturerTable_data();
    void manufacturerTable();
    void registersGiveVendorAndBrand();
    void videoMemoryText_data();
    void videoMemoryText();
    void displayReport_data();
    void displayReport();
    void helperProgramLimits_data();
    void helperProgramLimits();
    void linuxFixtureTree_data();
    void linuxFixtureTree();
    void thisMachine();
    void screensComeFromOneList();
    void creatorAssemblesAndDropsEmptyScreens();

private:
    QTemporaryDir m_scratch;
};

void TestSurveyCollection::manufacturerTable_data() {
    QTest::addColumn<QByteArray>("vendor");
    QTest::addColumn<QString>("manufacturer");
    QTest::newRow("intel") << QByteArray("GenuineIntel") << "Intel";
    QTest::newRow("amd") << QByteArray("AuthenticAMD") << "AMD";
    QTest::newRow("early amd") << QByteArray("AMDisbetter!") << "AMD";
    QTest::newRow("transmeta 2") << QByteArray("GenuineTMx86") << "Transmeta";
    QTest::newRow("nsc, inner blanks") << QByteArray("Geode by NSC") << "National Semiconductor";
    QTest::newRow("sis, trailing blank") << QByteArray("SiS SiS SiS ") << "SiS";
    QTest::newRow("vortex, leading blank") << QByteArray("Vortex86 SoC") << " Vortex";
    QTest::newRow("xen, leading blank") << QByteArray("XenVMMXenVMM") << " Xen HVM";
    QTest::newRow("hyper-v") << QByteArray("Microsoft Hv") << "Microsoft Hyper-V or Windows Virtual PC";
    QTest::newRow("case differs") << QByteArray("genuineintel") << "Unknown Manufacturer";
    QTest::newRow("prefix only") << QByteArray("GenuineInte") << "Unknown Manufacturer";
    QTest::newRow("no instruction") << QByteArray("") << "Unknown Manufacturer";
}

void TestSurveyCollection::manufacturerTable() {
    QFETCH(QByteArray, vendor);
    QFETCH(QString, manufacturer);
    QCOMPARE(TCPUValueRetriever::ConvertCPUIdentificationStringToManufacturer(vendor.constData()),
             manufacturer);
}

void TestSurveyCollection::registersGiveVendorAndBrand() {
    const auto word = [](const char* text) {
        quint32 value = 0;
        std::memcpy(&value, text, 4);
        return value;
    };
    // Leaf 0: the vendor text is EBX, EDX, ECX (not register order).
    const TCpuIdRegisters leaf0 = {0xd, word("Genu"), word("ntel"), word("ineI")};
    QCOMPARE(QByteArray(TCPUValueRetriever::VendorIdentificationFromRegisters(leaf0).data()),
             QByteArray("GenuineIntel"));

    const auto leavesFor = [&](const QByteArray& text) {
        std::array<TCpuIdRegisters, 3> leaves{};
        QByteArray padded = text.left(48);
        padded.append(QByteArray(48 - padded.size(), '\0'));
        for (int leaf = 0; leaf < 3; ++leaf)
            for (int reg = 0; reg < 4; ++reg)
                leaves[leaf][reg] = word(padded.constData() + leaf * 16 + reg * 4);
        return leaves;
    };
    // Leading blanks and inner runs are simplified, as processors pad the text.
    QCOMPARE(TCPUValueRetriever::BrandNameFromRegisters(
                 leavesFor("      Intel(R) Core(TM)  i7-8700 CPU @ 3.20GHz")),
             QStringLiteral("Intel(R) Core(TM) i7-8700 CPU @ 3.20GHz"));
    // The text ends at its first zero byte; what follows is not read.
    QCOMPARE(TCPUValueRetriever::BrandNameFromRegisters(leavesFor(QByteArray("AMD EPYC\0garbage", 16))),
             QStringLiteral("AMD EPYC"));
    // 48 bytes without a terminating zero: all of them, and nothing beyond.
    const QByteArray full(48, 'x');
    QCOMPARE(TCPUValueRetriever::BrandNameFromRegisters(leavesFor(full)), QString::fromLatin1(full));
}

void TestSurveyCollection::videoMemoryText_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<quint64>("bytes");
    QTest::newRow("MB") << "1536 MB" << quint64(1610612736);
    QTest::newRow("GB") << "2 GB" << quint64(2147483648);
    QTest::newRow("kB") << "512 kB" << quint64(524288);
    QTest::newRow("blanks around") << "  4   GB " << quint64(4) * 1024 * 1024 * 1024;
    QTest::newRow("no unit") << "1024" << quint64(1024);
    QTest::newRow("unknown unit") << "7 bytes" << quint64(7);
    QTest::newRow("not a number") << "abc MB" << quint64(0);
    QTest::newRow("negative") << "-5 MB" << quint64(0);
    QTest::newRow("empty") << "" << quint64(0);
    QTest::newRow("unit overflows") << "17179869184 GB" << std::numeric_limits<quint64>::max();
    QTest::newRow("number overflows") << "99999999999999999999999 MB" << std::numeric_limits<quint64>::max();
}

void TestSurveyCollection::videoMemoryText() {
    QFETCH(QString, text);
    QFETCH(quint64, bytes);
    QCOMPARE(TSystemSurveyValueRetriever::VideoMemorySizeFromText(text), bytes);
}

void TestSurveyCollection::displayReport_data() {
    QTest::addColumn<QByteArray>("report");
    QTest::addColumn<QString>("deviceString");
    QTest::addColumn<quint64>("videoMemory");
    QTest::addColumn<bool>("warns");

    const QByteArray head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><array><dict>"
                            "<key>_items</key><array>";
    const QByteArray tail = "</array></dict></array></plist>\n";
    const QByteArray first = "<dict><key>_name</key><string>Intel UHD</string>"
                             "<key>sppci_model</key><string>Intel UHD Graphics 630</string>"
                             "<key>spdisplays_vram</key><string>1536 MB</string></dict>";
    const QByteArray second = "<dict><key>sppci_model</key><string>Radeon Pro 560X</string>"
                              "<key>spdisplays_vram</key><string>4 GB</string></dict>";
    QTest::newRow("one adapter") << head + first + tail << "Intel UHD Graphics 630" << quint64(1610612736)
                                 << false;
    QTest::newRow("two adapters: the last wins")
        << head + first + second + tail << "Radeon Pro 560X" << quint64(4) * 1024 * 1024 * 1024 << false;
    QTest::newRow("value not a string")
        << head + "<dict><key>sppci_model</key><integer>5</integer></dict>" + tail << "not found"
        << quint64(0) << false;
    QTest::newRow("profiler not started") << QByteArray() << "not found" << quint64(0) << false;
    QTest::newRow("cut short") << head + first.left(first.indexOf("spdisplays_vram") + 5)
                               << "Intel UHD Graphics 630" << quint64(0) << false;
    QTest::newRow("not XML") << QByteArray("<plist><key>sppci_model</string>") << "not found" << quint64(0)
                             << true;
}

void TestSurveyCollection::displayReport() {
    QFETCH(QByteArray, report);
    QFETCH(QString, deviceString);
    QFETCH(quint64, videoMemory);
    QFETCH(bool, warns);
    if (warns)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Problem while reading GPU information: "));
    const TGPUInformationVector adapters =
        TSystemSurveyValueRetriever::GPUInformationFromDisplayReport(report);
    QCOMPARE(adapters.size(), size_t(1));
    QCOMPARE(adapters[0], TGPUInformation(deviceString, videoMemory, 0, 0, QString()));
}

void TestSurveyCollection::helperProgramLimits_data() {
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<int>("finishTimeoutMs");
    QTest::addColumn<bool>("completed");
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<QString>("warning");
    QTest::newRow("ends in time") << QByteArray("printf 'a b'") << 30000 << true << QByteArray("a b")
                                  << QString();
    QTest::newRow("too slow: killed") << QByteArray("exec sleep 60") << 300 << false << QByteArray()
                                      << QStringLiteral("did not finish within 300 ms");
    QTest::newRow("too much output: killed")
        << QByteArray("exec yes") << 30000 << false << QByteArray() << QStringLiteral("wrote more than");
    QTest::newRow("crashes") << QByteArray("kill -SEGV $$") << 30000 << false << QByteArray() << QString();
}

// A helper program is given its time and output; one that exceeds them is killed and reaped
// before the call returns, so no process (or zombie) is left behind.
void TestSurveyCollection::helperProgramLimits() {
    QFETCH(QByteArray, script);
    QFETCH(int, finishTimeoutMs);
    QFETCH(bool, completed);
    QFETCH(QByteArray, output);
    QFETCH(QString, warning);
    QVERIFY(m_scratch.isValid());
    const QString pidFile = m_scratch.filePath(QStringLiteral("helper.pid"));
    QFile::remove(pidFile);
    const QString program = writeScript(m_scratch.filePath(QStringLiteral("helper.sh")),
                                        "echo $$ > '" + pidFile.toUtf8() + "'\n" + script);
    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QRegularExpression::escape(warning)));

    QElapsedTimer clock;
    clock.start();
    const THelperProgramResult result = runHelperProgram(program, {}, 10000, finishTimeoutMs, 1024 * 1024);
    QCOMPARE(result.completed, completed);
    QCOMPARE(result.output, output);
    QVERIFY(clock.elapsed() < 20000);

    QFile pid(pidFile);
    QVERIFY(pid.open(QIODevice::ReadOnly));
    QVERIFY2(processIsGone(pid.readAll().trimmed().toLongLong()), "the helper program was left behind");

    QCOMPARE(runHelperProgram(m_scratch.filePath(QStringLiteral("missing")), {}, 1000, 1000, 100).completed,
             false);
}

void TestSurveyCollection::linuxFixtureTree_data() {
    QTest::addColumn<TTree>("tree");
    QTest::addColumn<QByteArray>("pciListing"); // empty: no PCI listing program
    QTest::addColumn<QList<quint64>>("counts"); // NUMA, physical, cores, logical
    QTest::addColumn<double>("clock");
    QTest::addColumn<TGPUInformationVector>("adapters");

    // Two packages of two cores with two threads each, two NUMA nodes; the frequency driver
    // names a base clock. Two cards (one with a module version), a connector and a render node.
    QByteArray list;
    for (int index = 0; index < 8; ++index)
        list += x86Processor(index, index / 4, (index / 2) % 2, "1200.000");
    const TTree workstation = merged({
        {{"proc/cpuinfo", list},
         {"sys/devices/system/node/node0/", {}},
         {"sys/devices/system/node/node1/", {}},
         {"sys/devices/system/node/possible", "0-1\n"},
         {"sys/devices/system/cpu/cpu0/cpufreq/base_frequency", "3000000\n"},
         {"sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq", "4200000\n"},
         {"sys/devices/system/cpu/online", "0-7\n"},
         {"sys/class/drm/card0/device/mem_info_vram_total", "17163091968\n"},
         {"sys/class/drm/card0-DP-1/status", "connected\n"},
         {"sys/class/drm/renderD128/dev", "226:128\n"},
         {"sys/module/nvidia/version", "535.54.03\n"},
         {"sys/module/amdgpu/parameters/x", "1\n"}},
        card("card0", "0x1002", "0x73bf", "amdgpu", "0000:03:00.0"),
        card("card1", "0x10de", "0x2684", "nvidia", "0000:01:00.0"),
    });
    const QByteArray listing =
        "0000:00:1f.3 \"Audio device\" \"Intel Corporation\" \"Cannon Lake PCH cAVS\" -r10 \"ASUSTeK\" "
        "\"Device\"\n"
        "0000:01:00.0 \"VGA compatible controller\" \"NVIDIA Corporation\" \"AD102 [GeForce RTX 4090]\" -ra1 "
        "\"NVIDIA Corporation\" \"Device 167c\"\n"
        "0000:03:00.0 \"VGA compatible controller\" \"Advanced Micro Devices, Inc. [AMD/ATI]\" "
        "\"Navi 21 [Radeon RX 6800/6800 XT / 6900 XT]\" -rc1 \"XFX\" \"Device 6901\"\n";
    QTest::newRow("two NUMA nodes, hyper-threads, two cards")
        << workstation << listing << QList<quint64>{2, 2, 4, 8} << 3000.0
        << TGPUInformationVector{
               TGPUInformation(
                   "Advanced Micro Devices, Inc. [AMD/ATI] Navi 21 [Radeon RX 6800/6800 XT / 6900 XT]",
                   17163091968ull, 0x1002, 0x73bf, QString()),
               TGPUInformation("NVIDIA Corporation AD102 [GeForce RTX 4090]", 0, 0x10de, 0x2684,
                               QStringLiteral("535.54.03"))};

    // Processor list without topology (as on ARM): the counts come from the topology folders;
    // no NUMA folder, no clock anywhere, no graphics card at all.
    QByteArray armList;
    TTree arm;
    for (int index = 0; index < 4; ++index) {
        armList += "processor\t: " + QByteArray::number(index) + "\nBogoMIPS\t: 48.00\nCPU part\t: 0xd08\n\n";
        const QString topology = QStringLiteral("sys/devices/system/cpu/cpu%1/topology/").arg(index);
        arm.insert(topology + QStringLiteral("physical_package_id"), "0\n");
        arm.insert(topology + QStringLiteral("core_id"), QByteArray::number(index) + "\n");
    }
    arm.insert(QStringLiteral("proc/cpuinfo"), armList);
    QTest::newRow("topology from sys, no card")
        << arm << QByteArray() << QList<quint64>{0, 1, 4, 4} << 0.0
        << TGPUInformationVector{TGPUInformation("not found", 0, 0, 0, {})};

    // A small virtual machine: clock from the processor list; a card but no listing program.
    const TTree virtualMachine = merged({{{"proc/cpuinfo", x86Processor(0, 0, 0, "2596.128")},
                                          {"sys/devices/system/node/node0/", {}},
                                          {"sys/devices/system/cpu/cpu0/cpufreq/", {}}},
                                         card("card0", "0x1af4", "0x1050", "virtio-pci", "0000:00:02.0")});
    QTest::newRow("clock from the processor list, unnamed card")
        << virtualMachine << QByteArray() << QList<quint64>{1, 1, 1, 1} << 2596.128
        << TGPUInformationVector{TGPUInformation("not found", 0, 0x1af4, 0x1050, {})};

    // Nothing readable at all.
    QTest::newRow("empty tree") << TTree{{"sys/", {}}} << QByteArray() << QList<quint64>{0, 0, 0, 0} << 0.0
                                << TGPUInformationVector{TGPUInformation("not found", 0, 0, 0, {})};
}

void TestSurveyCollection::linuxFixtureTree() {
    QFETCH(TTree, tree);
    QFETCH(QByteArray, pciListing);
    QFETCH(QList<quint64>, counts);
    QFETCH(double, clock);
    QFETCH(TGPUInformationVector, adapters);

    QTemporaryDir root;
    QVERIFY(root.isValid());
    QVERIFY(writeTree(root.path(), tree));
    QString program;
    if (!pciListing.isEmpty()) {
        QFile listingFile(root.filePath(QStringLiteral("listing.txt")));
        QVERIFY(listingFile.open(QIODevice::WriteOnly));
        listingFile.write(pciListing);
        listingFile.close();
        // Answers only the arguments the source is expected to pass.
        program =
            writeScript(root.filePath(QStringLiteral("lspci")),
                        "[ \"$*\" = '-mm -D' ] || exit 2\ncat '" + listingFile.fileName().toUtf8() + "'");
    }

    const TLinuxSystemSurveyValueRetriever source(root.path(), program);
    quint64 numa = 99, physical = 99, cores = 99, logical = 99;
    source.getCPUArchitecture(numa, physical, cores, logical);
    QCOMPARE((QList<quint64>{numa, physical, cores, logical}), counts);
    QCOMPARE(source.getCPUClockSpeed(), clock);
    QCOMPARE(source.getAllGPUInformation(), adapters);
}

void TestSurveyCollection::thisMachine() {
    const TLinuxSystemSurveyValueRetriever source;
    const TCPUInformation cpu = source.getCPUInformation();
    QVERIFY(cpu.getLogicalCoreNumber() >= 1);
    QCOMPARE(cpu.getLogicalCoreNumber(), quint64(sysconf(_SC_NPROCESSORS_ONLN)));
    QVERIFY(cpu.getCoreNumber() <= cpu.getLogicalCoreNumber());
    QVERIFY(cpu.getClockSpeed() >= 0.0);
#if defined(__x86_64__)
    QVERIFY(cpu.is64Bit());
    QVERIFY(cpu.hasSse());
    QVERIFY(cpu.hasSse2());
    QVERIFY(cpu.getManufacturer() != TCPUValueRetriever::MANUFACTURER_UNKNOWN);
    QVERIFY(!cpu.getBrandName().isEmpty());
#endif
    QVERIFY(source.getMainMemorySize() > 0);
    QCOMPARE(source.getOperatingSystemInformation().getBaseSystem(), QStringLiteral("Linux"));
    QVERIFY(!source.getOperatingSystemInformation().getName().isEmpty());
    QVERIFY(!source.getAllGPUInformation().empty());

    // The platform's own source is this one.
    const auto platform = TSystemSurveyValueRetriever::createForThisSystem();
    QVERIFY(dynamic_cast<TLinuxSystemSurveyValueRetriever*>(platform.get()) != nullptr);
}

// Count, primary index and entries all come from the application's screen list: an index at
// the end of it names no screen instead of reading past it.
void TestSurveyCollection::screensComeFromOneList() {
    const unsigned long count = TMonitorValueRetriever::getNumberOfMonitors();
    QCOMPARE(count, static_cast<unsigned long>(QGuiApplication::screens().size()));
    QVERIFY(count >= 1);
    QVERIFY(TMonitorValueRetriever::getPrimaryMonitorID() < count);
    const TMonitorInformationVector all = TMonitorValueRetriever::getAllMonitorsInformation();
    QCOMPARE(all.size(), size_t(count));
    TMonitorInformation first;
    QVERIFY(TMonitorValueRetriever::getMoniorInformation(0, first));
    QCOMPARE(first, all[0]);
    QVERIFY(all[TMonitorValueRetriever::getPrimaryMonitorID()].isPrimary());
    const TMonitorInformation untouched(1, 2, false, 3);
    TMonitorInformation beyond = untouched;
    QVERIFY(!TMonitorValueRetriever::getMoniorInformation(count, beyond));
    QCOMPARE(beyond, untouched);
}

void TestSurveyCollection::creatorAssemblesAndDropsEmptyScreens() {
    class TFixedSource : public TSystemSurveyValueRetriever {
    public:
        TMonitorInformationVector getAllMonitorsInformation() const override {
            return {
                {1920, 1080, true, 60}, {0, 1080, false, 60}, {2560, 1440, false, 144}, {800, 0, false, 0}};
        }
        TCPUInformation getCPUInformation() const override {
            return TCPUInformation("AMD", "Fixture", true, true, true, 1, 1, 8, 16, 3600.5);
        }
        TOperatingSystemInformation getOperatingSystemInformation() const override {
            return {"Linux", "Fixture OS", "6.1"};
        }
        quint64 getMainMemorySize() const override { return 1ull << 34; }
        TGPUInformationVector getAllGPUInformation() const override {
            return {{"GPU", 1ull << 30, 1, 2, "3"}};
        }
    };
    const TSystemSurveyCreator creator(std::make_shared<TFixedSource>());
    const TSystemSurvey survey = creator.createSystemSurvey();
    QCOMPARE(survey, TSystemSurvey({{1920, 1080, true, 60}, {2560, 1440, false, 144}},
                                   {"Linux", "Fixture OS", "6.1"}, 1ull << 34,
                                   TCPUInformation("AMD", "Fixture", true, true, true, 1, 1, 8, 16, 3600.5),
                                   {{"GPU", 1ull << 30, 1, 2, "3"}}));

    // The screens Qt reports (the offscreen platform has one) all have an area.
    const TSystemSurveyCreator real(std::make_shared<TSystemSurveyValueRetriever>());
    const TMonitorInformationVector monitors = real.createSystemSurvey().getMonitors();
    QCOMPARE(monitors.size(), size_t(QGuiApplication::screens().size()));
    for (const TMonitorInformation& monitor : monitors)
        QVERIFY(monitor.isValid());
}

QTEST_MAIN(TestSurveyCollection)
#include "tst_surveycollection.moc"
