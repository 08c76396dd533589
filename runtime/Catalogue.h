// What a device is made of, read once from its own objects when the runtime makes it: every
// register (address, width, words, directions, bits no signal covers, defaults) and every
// signal (bits, default, maximum, enumerators). It never changes afterwards, so every door
// reads it without holding the device: the service's map, the C catalogue, Python's tree.
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

class CHWDeviceBase;

namespace rlzev
{
struct SEnumeratorEntry
{
    unsigned m_udwValue = 0;
    std::string m_strName;
};

struct SSignalEntry
{
    std::string m_strName;
    unsigned m_udwLow = 0;
    unsigned m_udwWidth = 0;
    unsigned m_udwDefault = 0;
    unsigned m_udwMax = 0;
    std::vector<SEnumeratorEntry> m_Enumerators;  // ascending values
};

struct SRegisterEntry
{
    std::string m_strName;
    unsigned m_udwAddress = 0;
    unsigned m_udwWidth = 0;
    unsigned m_udwWords = 1;         // more than one: a memory
    std::string m_strAccess;         // the access strategy's class name
    bool m_bReadable = false;        // a read reaches the hardware (else it is refused and reported)
    bool m_bWritable = false;        // likewise for a write
    bool m_bReadBack = false;        // reads go through the device's read-back path
    bool m_bStatus = false;          // write-one-to-clear status register
    // A one-word register's bits (0 for a memory):
    unsigned m_udwDefault = 0;       // the application's word after SetToDefault
    unsigned m_udwUnused = 0;        // within the width, no signal covers them, the hardware keeps none
    unsigned m_udwHidden = 0;        // no signal covers them, yet the hardware word keeps them
    unsigned m_udwForcedOnes = 0;    // hidden bits the application's word always holds as 1
    std::vector<SSignalEntry> m_Signals;  // in the register's list order

    bool IsMemory() const { return m_udwWords > 1; }
    const SSignalEntry* FindSignal(const std::string& a_strName) const;
};

class CCatalogue
{
public:
    explicit CCatalogue(const CHWDeviceBase& a_rDevice);

    const std::string& DeviceName() const { return m_strName; }
    const std::string& XmlVersion() const { return m_strXmlVersion; }
    const std::string& GeneratorVersion() const { return m_strGeneratorVersion; }
    // In the device's list order, the order of every device-wide operation.
    const std::vector<SRegisterEntry>& Registers() const { return m_Registers; }
    const SRegisterEntry* Find(const std::string& a_strName) const;
    std::size_t SignalCount() const { return m_uSignals; }

private:
    std::string m_strName;
    std::string m_strXmlVersion;
    std::string m_strGeneratorVersion;
    std::vector<SRegisterEntry> m_Registers;
    std::unordered_map<std::string, std::size_t> m_Index;
    std::size_t m_uSignals = 0;
};
} // namespace rlzev
