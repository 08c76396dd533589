#include "SignalBase.h"
#include "LockRestore.h"
#include "ValueText.h"
#include "ZEVUtilities.h"

#include <ostream>

CSignalBase::CSignalBase()
    : m_udwDefaultValue(0), m_udwMaxValue(0), m_bLogging(false), m_udwLockState(UNLOCKED), m_pLogStream(nullptr),
      m_pEnumTable(new std::map<unsigned, std::string>()),
      m_pEnumCursor(new std::map<unsigned, std::string>::const_iterator())
{
}

CSignalBase::~CSignalBase()
{
    m_strName.clear();
    m_pLogStream = nullptr;
    delete m_pEnumCursor;
    delete m_pEnumTable;
}

std::string CSignalBase::GetName() const
{
    return m_strName;
}

bool CSignalBase::Logging(std::ostream* a_pStream, bool a_bEnable)
{
    m_pLogStream = a_pStream;
    m_bLogging = a_bEnable;
    return a_bEnable;
}

void CSignalBase::Lock()
{
    if (m_bLogging && m_pLogStream != nullptr)
        *m_pLogStream << "Signal: " << m_strName << " locked!\n";
    m_udwLockState = LOCKED;
}

void CSignalBase::SnapShot(std::ostream& a_rStream)
{
    a_rStream << m_strName << " = ";
    const std::list<unsigned> Values = GetNotTypedValue();
    bool bFirst = true;
    for (unsigned udwValue : Values)
    {
        a_rStream << rlzev::SignedDecimalText(udwValue) << "; % Wert =";
        if (bFirst && !m_pEnumTable->empty())
        {
            const auto It = m_pEnumTable->find(udwValue);
            if (It != m_pEnumTable->end())
                a_rStream << It->second;
        }
        else
        {
            a_rStream << rlzev::LowerHexText(udwValue);
        }
        a_rStream << "\n";
        bFirst = false;
    }
}

void CSignalBase::SnapShot(std::ostream& a_rStream, const std::string& a_strDevice, const std::string& a_strRegister)
{
    a_rStream << a_strDevice << "." << a_strRegister << ".";
    SnapShot(a_rStream);
}

std::list<std::string> CSignalBase::GetValueByString()
{
    std::list<std::string> Texts;
    bool bFirst = true;
    for (unsigned udwValue : GetNotTypedValue())
    {
        const auto It = bFirst && !m_pEnumTable->empty() ? m_pEnumTable->find(udwValue) : m_pEnumTable->end();
        // A field value without a name is given as its number, which a service write also accepts.
        Texts.push_back(It != m_pEnumTable->end() ? It->second : rlzev::SignedDecimalText(udwValue));
        bFirst = false;
    }
    return Texts;
}

bool CSignalBase::ServiceRead(std::list<std::string>& a_rValues, std::string&)
{
    const rlzev::CLockRestore Restore(m_udwLockState, SERVICE_ACCESS);
    if (!m_pEnumTable->empty())
    {
        a_rValues = GetValueByString();
    }
    else
    {
        const std::list<unsigned> Values = GetNotTypedValue();
        if (!Values.empty())
            a_rValues.push_back(rlzev::HexValueText(Values.front()));
    }
    return true;
}

bool CSignalBase::ServiceWrite(const std::list<std::string>& a_rValues, std::string& a_rError)
{
    // A refusal, or a host exception from the transfer or the report, leaves the lock
    // state as it was.
    rlzev::CLockRestore Restore(m_udwLockState, SERVICE_ACCESS);

    std::vector<unsigned> Numbers;
    bool bNameOk = true;
    bool bFormatOk = true;
    bool bNameFound = false;
    bool bOverLimit = false;
    for (const std::string& strText : a_rValues)
    {
        if (!m_pEnumTable->empty() && !bNameFound)
        {
            bNameOk = false;
            for (*m_pEnumCursor = m_pEnumTable->begin(); *m_pEnumCursor != m_pEnumTable->end(); ++*m_pEnumCursor)
            {
                if ((*m_pEnumCursor)->second == strText)
                {
                    Numbers.push_back((*m_pEnumCursor)->first);
                    bNameOk = bNameFound = true;
                    break;
                }
            }
            continue;
        }
        const rlzev::SParsedValue Parsed = rlzev::ParseValueText(strText);
        bFormatOk = Parsed.m_bHasMarker;
        if (Parsed.m_bHasMarker)
            Numbers.push_back(Parsed.m_udwValue);
        if (Parsed.m_bTooLarge || Parsed.m_udwValue > m_udwMaxValue)
            bOverLimit = true;
    }

    const char* pcProblem = nullptr;
    // No value at all is refused like an unknown one.
    if (!bNameOk || !bFormatOk || a_rValues.empty())
        pcProblem = "Invalid value(s) submitted: ";
    else if (bOverLimit)
        pcProblem = "Value limit exceeded: ";

    if (pcProblem != nullptr)
    {
        a_rError = pcProblem;
        for (const std::string& strText : a_rValues)
            a_rError += strText + ",";
        if (bNameOk && !bFormatOk)
            a_rError += "Wrong format specified (use /d for decimal or /h for hex values)";
        CZEVUtilities::GetInstance().ReportError("SignalBase", __LINE__, "CSignalBase::ServiceWrite",
                                                 a_rError.c_str());
        return false;
    }
    SetNotTypedValue(Numbers);
    Restore.Leave(LOCKED);
    return true;
}
