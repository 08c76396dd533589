// A lock state a service operation puts back when it ends, whether it returns or a host
// exception passes through it (internal, not installed).
#pragma once

namespace rlzev
{
class CLockRestore
{
public:
    // a_rudwState holds a_udwDuring from here until the end of the operation.
    CLockRestore(unsigned& a_rudwState, unsigned a_udwDuring)
        : m_rudwState(a_rudwState), m_udwBefore(a_rudwState), m_udwAfter(a_rudwState)
    {
        a_rudwState = a_udwDuring;
    }
    ~CLockRestore() { m_rudwState = m_udwAfter; }
    CLockRestore(const CLockRestore&) = delete;
    CLockRestore& operator=(const CLockRestore&) = delete;

    unsigned Before() const { return m_udwBefore; }
    // The operation completed: it leaves this state instead of the one before.
    void Leave(unsigned a_udwState) { m_udwAfter = a_udwState; }

private:
    unsigned& m_rudwState;
    unsigned m_udwBefore;
    unsigned m_udwAfter;
};
} // namespace rlzev
