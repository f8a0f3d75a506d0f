#include "systemsurvey/cpuvalueretriever.h"

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#define SYSTEMSURVEY_HAS_CPUID 1
#endif

namespace systemsurvey {

namespace {

const quint32 EXTENDED_LEAF_BASE = 0x80000000u;
const quint32 EXTENDED_LEAF_FEATURES = 0x80000001u;
const quint32 EXTENDED_LEAF_BRAND_FIRST = 0x80000002u;
const quint32 EXTENDED_LEAF_BRAND_LAST = 0x80000004u;

TCpuIdRegisters cpuId(quint32 Leaf) {
    TCpuIdRegisters registers{};
    CpuID(registers.data(), Leaf);
    return registers;
}

bool featureBit(quint32 Register, int Bit) {
    return ((Register >> Bit) & 1u) != 0;
}

struct TManufacturer {
    const char* vendorIdentification;
    const char* manufacturer;
};

// Compared in this order; the first match wins. The leading blanks of two names are part of them.
const TManufacturer MANUFACTURERS[] = {
    {"AMDisbetter!", "AMD"},       {"AuthenticAMD", "AMD"},
    {"CentaurHauls", "Centaur"},   {"CyrixInstead", "Cyrix"},
    {"GenuineIntel", "Intel"},     {"TransmetaCPU", "Transmeta"},
    {"GenuineTMx86", "Transmeta"}, {"Geode by NSC", "National Semiconductor"},
    {"NexGenDriven", "NexGen"},    {"RiseRiseRise", "Rise"},
    {"SiS SiS SiS ", "SiS"},       {"UMC UMC UMC ", "UMC"},
    {"VIA VIA VIA ", "VIA"},       {"Vortex86 SoC", " Vortex"},
    {"KVMKVMKVMKVM", "KVM"},       {"Microsoft Hv", "Microsoft Hyper-V or Windows Virtual PC"},
    {"VMwareVMware", "VMware"},    {"XenVMMXenVMM", " Xen HVM"},
};

} // namespace

void CpuID(quint32 Registers[4], quint32 Leaf) {
#ifdef SYSTEMSURVEY_HAS_CPUID
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    __cpuid_count(Leaf, 0, eax, ebx, ecx, edx);
    Registers[0] = eax;
    Registers[1] = ebx;
    Registers[2] = ecx;
    Registers[3] = edx;
#else
    Q_UNUSED(Leaf);
    Registers[0] = Registers[1] = Registers[2] = Registers[3] = 0;
#endif
}

const QString TCPUValueRetriever::MANUFACTURER_UNKNOWN = QStringLiteral("Unknown Manufacturer");
const QString TCPUValueRetriever::BRANDNAME_NOT_SUPPORTED =
    QStringLiteral("Acquiring Brand Name not supported");

std::array<char, 13> TCPUValueRetriever::VendorIdentificationFromRegisters(const TCpuIdRegisters& Leaf0) {
    std::array<char, 13> text{};
    std::memcpy(text.data(), &Leaf0[1], 4);
    std::memcpy(text.data() + 4, &Leaf0[3], 4);
    std::memcpy(text.data() + 8, &Leaf0[2], 4);
    text[12] = '\0';
    return text;
}

QString TCPUValueRetriever::ConvertCPUIdentificationStringToManufacturer(const char* VendorIdentification) {
    if (VendorIdentification == nullptr)
        return MANUFACTURER_UNKNOWN;
    for (const TManufacturer& entry : MANUFACTURERS) {
        if (std::strcmp(VendorIdentification, entry.vendorIdentification) == 0)
            return QString::fromLatin1(entry.manufacturer);
    }
    return MANUFACTURER_UNKNOWN;
}

QString TCPUValueRetriever::GetCPUManufacturer() {
    const std::array<char, 13> vendor = VendorIdentificationFromRegisters(cpuId(0));
    return ConvertCPUIdentificationStringToManufacturer(vendor.data());
}

QString TCPUValueRetriever::BrandNameFromRegisters(const std::array<TCpuIdRegisters, 3>& Leaves) {
    char text[48];
    for (size_t leaf = 0; leaf < Leaves.size(); ++leaf)
        std::memcpy(text + leaf * 16, Leaves[leaf].data(), 16);
    const void* end = std::memchr(text, 0, sizeof(text));
    const int length = end ? static_cast<int>(static_cast<const char*>(end) - text) : int(sizeof(text));
    return QString::fromUtf8(text, length).simplified();
}

QString TCPUValueRetriever::GetCPUBrandName() {
    if (cpuId(EXTENDED_LEAF_BASE)[0] < EXTENDED_LEAF_BRAND_LAST)
        return BRANDNAME_NOT_SUPPORTED;
    std::array<TCpuIdRegisters, 3> leaves;
    for (quint32 leaf = EXTENDED_LEAF_BRAND_FIRST; leaf <= EXTENDED_LEAF_BRAND_LAST; ++leaf)
        leaves[leaf - EXTENDED_LEAF_BRAND_FIRST] = cpuId(leaf);
    return BrandNameFromRegisters(leaves);
}

bool TCPUValueRetriever::GetCPU64BitFlag() {
    if (cpuId(EXTENDED_LEAF_BASE)[0] < EXTENDED_LEAF_FEATURES)
        return false;
    return featureBit(cpuId(EXTENDED_LEAF_FEATURES)[3], 29);
}

bool TCPUValueRetriever::GetCPUSseFlag() {
    return featureBit(cpuId(1)[3], 25);
}

bool TCPUValueRetriever::GetCPUSse2Flag() {
    return featureBit(cpuId(1)[3], 26);
}

} // namespace systemsurvey
