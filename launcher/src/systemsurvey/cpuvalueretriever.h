#pragma once

#include <QString>
#include <QtGlobal>

#include <array>

namespace systemsurvey {

using TCpuIdRegisters = std::array<quint32, 4>;

// Executes the processor identification instruction for Leaf (sub-leaf 0) and stores EAX, EBX,
// ECX and EDX into Registers, in this order. Where the instruction does not exist (processors other
// than x86), all four registers are 0, which every reader below takes as "not supported".
void CpuID(quint32 Registers[4], quint32 Leaf);

// The processor's identity as the identification instruction reports it.
class TCPUValueRetriever {
public:
    static const QString MANUFACTURER_UNKNOWN;
    static const QString BRANDNAME_NOT_SUPPORTED;

    static QString GetCPUManufacturer();
    // VendorIdentification: the 12-character text of leaf 0, zero-terminated.
    static QString ConvertCPUIdentificationStringToManufacturer(const char* VendorIdentification);
    static QString GetCPUBrandName();
    static bool GetCPU64BitFlag();
    static bool GetCPUSseFlag();
    static bool GetCPUSse2Flag();

    // The 12 vendor bytes of leaf 0: EBX, EDX, ECX in this order, plus a terminating zero.
    static std::array<char, 13> VendorIdentificationFromRegisters(const TCpuIdRegisters& Leaf0);
    // The brand text of leaves 0x80000002..0x80000004 (EAX..EDX of each, 48 bytes): read up to the
    // first zero byte but never beyond the 48 bytes, since a processor need not terminate it,
    // then simplified.
    static QString BrandNameFromRegisters(const std::array<TCpuIdRegisters, 3>& Leaves);
};

} // namespace systemsurvey
