// The ZEV in a Tango control system: one Tango device (class "ZEV") on a device runtime, its
// attributes and commands made from the runtime's catalogue and operation table. Every call
// goes through the runtime, so the device is the same one other doors of the process reach
// (zev-tango's HTTP service), and their changes come to Tango clients as change events.
//
// Attribute names (Tango takes letters, digits and '_', and ignores case):
//   REG           a register's word (a scalar DevULong), or a memory's words (a spectrum)
//   REG__SIGNAL   a signal: DevEnum with the enumerator names as labels, else a DevULong whose
//                 max_value is the field's maximum; read-only or write-only as the register is
//   BusTransfers, BusFaults, Reports, DeviceCalls   the runtime's counts (DevULong64)
#pragma once

#include <string>

namespace rlzev
{
class CDeviceRuntime;

// The attribute name of a register's signal.
std::string TangoSignalName(const std::string& a_strRegister, const std::string& a_strSignal);

// Serves a_rRuntime's device as the one device of this Tango server until it is shut down
// (the admin device's Kill, SIGINT, SIGTERM). argc/argv as Tango takes them: the instance
// name, then -nodb -dlist NAME -ORBendPoint ..., or nothing more with the database. A
// database that cannot be reached is said on stderr and returns 1, without waiting for it.
int ServeTango(CDeviceRuntime& a_rRuntime, int argc, char** argv);
} // namespace rlzev
