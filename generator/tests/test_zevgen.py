"""Generator tests: small descriptions, one per feature and one per validation error."""

import io
import os
import sys
import tempfile
import unittest
from contextlib import redirect_stderr, redirect_stdout

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))
import zevgen  # noqa: E402

HEAD = '<device name="ZEV" version="V1" generator="1.1.0.0">\n<block prefix="AUD" folder="audio"/>\n<block prefix="PRI" folder="status"/>\n'
TAIL = "</device>\n"

AUD = """<values name="V3"><enum value="0" name="M0"/><enum value="1" name="M1"/></values>
<register name="AUD_CNTRL0" address="0x0E00" width="24" access="CSequentialRead_ParallelWrite" default="0x000009">
  <signal name="TRIG_SEL" bits="2..0" default="1" values="V3"><enum value="7" name="M7"/></signal>
  <signal name="MULT_HP" bits="8..3" default="1"/>
</register>
"""
STATUS = """<register name="PRI_STATUSREG1" address="0x0018" width="32" access="CParallelRead_ParallelWrite" default="0x0" status="yes" hidden="31 16">
  <signal name="A" bits="0" default="0"><enum value="0" name="OFF"/><enum value="1" name="ON"/></signal>
</register>
<register name="PRI_PRESTATREG_MASK1" address="0x0022" width="32" access="CSequentialRead_ParallelWrite" default="0x00010001" hidden="16" forced="16">
  <signal name="A" bits="0" default="1"/>
</register>
"""
RAM = '<ram name="AUD_RAM" address="0x10000" words="7" access="CParallelRead_ParallelWrite" source="zev\\audio\\register_aud_ram"/>\n'


class GeneratorTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)
        self.out = os.path.join(self.tmp.name, "out")

    def run_gen(self, body, *extra, whole=False):
        path = os.path.join(self.tmp.name, "PD_TEST.xml")
        with open(path, "w") as f:
            f.write(body if whole else HEAD + body + TAIL)
        out, err = io.StringIO(), io.StringIO()
        with redirect_stdout(out), redirect_stderr(err):
            code = zevgen.main([path, self.out] + list(extra))
        return code, out.getvalue(), err.getvalue()

    def text(self, rel):
        with open(os.path.join(self.out, rel)) as f:
            return f.read()

    def assertError(self, body, message, whole=False):
        code, _, err = self.run_gen(body, whole=whole)
        self.assertEqual(code, 1)
        self.assertIn(message, err.splitlines())
        self.assertTrue(err.endswith("PD_TEST.xml has errors; nothing was written\n"), err)
        self.assertFalse(os.path.exists(self.out), "a bad description writes nothing")


class Features(GeneratorTest):
    def test_plain_register_is_a_thin_declaration(self):
        code, out, _ = self.run_gen(AUD)
        self.assertEqual(code, 0, out)
        h = self.text("zev/audio/register_aud_cntrl0.h")
        self.assertIn('inline constexpr SRegisterLayout kLayout = {"AUD_CNTRL0", 0x0E00, 24, 0x00FFFE00, 0x00FFFE00, '
                      "0x00000000, 0x000001FF, 0x00000009, false};", h)
        self.assertIn('inline constexpr SEnumerator kTRIG_SEL_Values[] = {{0, "M0"}, {1, "M1"}, {7, "M7"}};', h)
        self.assertIn('inline constexpr SSignalInfo kTRIG_SEL = {"TRIG_SEL", 0, 3, 1, kTRIG_SEL_Values, 3};', h)
        self.assertIn('inline constexpr SSignalInfo kMULT_HP = {"MULT_HP", 3, 6, 1, nullptr, 0};', h)
        self.assertIn("    enum TRIG_SEL : unsigned", h)
        self.assertIn("        M7 = 7,", h)
        self.assertIn("    TRIG_SEL Get(bool a_bReadHW) const { return static_cast<TRIG_SEL>(CFieldSignal::Get(a_bReadHW)); }", h)
        self.assertIn("class RL_ZEV_EXPORT CRegister_AUD_CNTRL0 : public CPlainRegister<CSequentialRead_ParallelWrite>", h)
        self.assertIn("    ::ZEV::AUD_CNTRL0::CSignal_MULT_HP MULT_HP;", h)
        self.assertEqual(h.count("Get(bool"), 1, "a numeric signal uses the framework's unsigned Get")
        self.assertNotIn("ResetAllStatusBits", h)
        cpp = self.text("zev/audio/register_aud_cntrl0.cpp")
        self.assertIn("    : CPlainRegister(a_pHWAccess, a_pStatusRegister, ::ZEV::AUD_CNTRL0::kLayout, a_udwValue), "
                      "TRIG_SEL(this), MULT_HP(this)", cpp)

    def test_status_and_hidden_bits(self):
        code, _, _ = self.run_gen(STATUS)
        self.assertEqual(code, 0)
        h = self.text("zev/status/register_pri_statusreg1.h")
        self.assertIn("0x0018, 32, 0x7FFEFFFE, 0xFFFFFFFE, 0x00000000, 0x80010001, 0x00000000, true};", h)
        self.assertIn("    using CPlainRegister::ResetAllStatusBits;", h)
        h = self.text("zev/status/register_pri_prestatreg_mask1.h")
        self.assertIn("0x0022, 32, 0xFFFEFFFE, 0xFFFEFFFE, 0x00010000, 0x00010001, 0x00010001, false};", h)

    def test_memory(self):
        self.assertEqual(self.run_gen(RAM)[0], 0)
        h = self.text("zev/audio/register_aud_ram.h")
        self.assertIn('inline constexpr SRamLayout kLayout = {"AUD_RAM", 0x10000, 7, "zev\\\\audio\\\\register_aud_ram", '
                      '"ZEV::CRegister_AUD_RAM::Get", "ZEV::CRegister_AUD_RAM::Set"};', h)
        self.assertIn("class RL_ZEV_EXPORT CRegister_AUD_RAM : public CRamRegister<CParallelRead_ParallelWrite>", h)

    def test_device_keeps_description_order(self):
        self.assertEqual(self.run_gen(STATUS + AUD + RAM)[0], 0)
        h = self.text("zev/zev_device.h")
        order = [line.split()[1] for line in h.splitlines() if line.startswith("    ::ZEV::CRegister_")]
        self.assertEqual(order, ["PRI_STATUSREG1;", "PRI_PRESTATREG_MASK1;", "AUD_CNTRL0;", "AUD_RAM;"])
        cpp = self.text("zev/zev_device.cpp")
        self.assertIn('    m_strXMLVersion = "V1";', cpp)
        self.assertIn("    m_pRegisterList->assign(apRegisters, apRegisters + 4);", cpp)
        table = self.text("zev/zev_map.cpp")
        self.assertIn('const SSignalInfo kAUD_CNTRL0[] = {{"TRIG_SEL", 0, 3, 1, kAUD_CNTRL0_TRIG_SEL, 3}, '
                      '{"MULT_HP", 3, 6, 1, nullptr, 0}};', table)
        self.assertIn('    {"PRI_STATUSREG1", 0x0018, 32, 1, "CParallelRead_ParallelWrite", true, true, false, true, '
                      'kPRI_STATUSREG1, 1},', table)
        self.assertIn('    {"AUD_RAM", 0x10000, 32, 7, "CParallelRead_ParallelWrite", true, true, false, false, nullptr, 0},', table)
        self.assertIn('    {"AUD_CNTRL0", 0x0E00, 24, 1, "CSequentialRead_ParallelWrite", true, true, true, false, kAUD_CNTRL0, 2},',
                      table)
        check = self.text("zev/zev_selfcheck.cpp")
        self.assertIn('static_assert(::ZEV::AUD_CNTRL0::kMULT_HP.m_udwLow == 3 && ::ZEV::AUD_CNTRL0::kMULT_HP.m_udwWidth == 6, '
                      '"AUD_CNTRL0.MULT_HP");', check)
        self.assertIn("static_assert(::ZEV::AUD_RAM::kLayout.m_udwAddress == 0x10000 && ::ZEV::AUD_RAM::kLayout.m_udwWordCount == 7", check)
        self.assertIn('static_assert(rlzev::LayoutAgrees(::ZEV::AUD_CNTRL0::kLayout, {&::ZEV::AUD_CNTRL0::kTRIG_SEL, '
                      '&::ZEV::AUD_CNTRL0::kMULT_HP}), "AUD_CNTRL0 layout");', check)

    def test_rewrites_only_changed_files(self):
        self.assertEqual(self.run_gen(AUD + RAM)[0], 0)
        before = {rel: os.stat(os.path.join(self.out, rel)).st_mtime_ns for rel in
                  ("zev/audio/register_aud_ram.h", "zev/zev_device.h")}
        code, out, _ = self.run_gen(AUD + RAM)
        self.assertIn("0 rewritten", out)
        code, out, _ = self.run_gen(AUD.replace('default="1"/>', 'default="2"/>').replace("0x000009", "0x000011") + RAM)
        self.assertIn(", 2 rewritten", out, "the changed register's header and the simulator's map")
        for rel, mtime in before.items():
            self.assertEqual(os.stat(os.path.join(self.out, rel)).st_mtime_ns, mtime, rel)

    def test_list_names_every_output(self):
        path = os.path.join(self.tmp.name, "PD_TEST.xml")
        with open(path, "w") as f:
            f.write(HEAD + AUD + RAM + TAIL)
        out = io.StringIO()
        with redirect_stdout(out):
            self.assertEqual(zevgen.main(["--list", path]), 0)
        self.assertEqual(out.getvalue().split(), sorted([
            "zev/audio/register_aud_cntrl0.cpp", "zev/audio/register_aud_cntrl0.h", "zev/audio/register_aud_ram.cpp",
            "zev/audio/register_aud_ram.h", "zev/zev_device.cpp", "zev/zev_device.h", "zev/zev_map.cpp",
            "zev/zev_selfcheck.cpp", "python/zev.pyi"]))
        with redirect_stderr(io.StringIO()), self.assertRaises(SystemExit):
            zevgen.main([path])  # no OUTDIR
        out = io.StringIO()
        with redirect_stdout(out), self.assertRaises(SystemExit):
            zevgen.main(["--help"])
        self.assertIn("Turns the register description", out.getvalue())

    def test_limits_that_hold(self):
        body = (RAM.replace('words="7"', 'words="2"') +
                RAM.replace("AUD_RAM", "AUD_BIG").replace('words="7"', 'words="1048576"').replace("0x10000", "0xFFFFFFFF"))
        self.assertEqual(self.run_gen(body, "--list")[0], 0)


def reg(signals, default="0x0", access="CSequentialRead_ParallelWrite", name="AUD_X", width=16, more=""):
    return '<register name="%s" address="0x0E00" width="%d" access="%s" default="%s"%s>\n%s</register>\n' % (
        name, width, access, default, more, signals)


class Validation(GeneratorTest):
    def test_duplicate_register(self):
        self.assertError(reg('<signal name="A" bits="0" default="0"/>\n') * 2,
                         "PD_TEST.xml:7: register AUD_X: duplicate register name (first at line 4)")

    def test_duplicate_signal(self):
        self.assertError(reg('<signal name="A" bits="0" default="0"/>\n<signal name="A" bits="1" default="0"/>\n'),
                         "PD_TEST.xml:6: register AUD_X, signal A: duplicate signal name (first at line 5)")

    def test_field_outside_width(self):
        code, _, err = self.run_gen(reg('<signal name="A" bits="16..15" default="0"/>\n', default="0x1"))
        self.assertEqual(code, 1)
        self.assertEqual(err.splitlines()[:-1], ["PD_TEST.xml:5: register AUD_X, signal A: bits 16..15 lie outside the register's 16 bits"],
                         "a register whose signals are wrong is not blamed for its default as well")

    def test_overlapping_fields(self):
        self.assertError(reg('<signal name="A" bits="3..0" default="0"/>\n<signal name="B" bits="4..3" default="0"/>\n'),
                         "PD_TEST.xml:6: register AUD_X, signal B: bits 4..3 overlap signal A")

    def test_default_does_not_fit(self):
        self.assertError(reg('<signal name="A" bits="1..0" default="4"/>\n'),
                         "PD_TEST.xml:5: register AUD_X, signal A: default 4 does not fit 2 bit(s) (largest 3)")

    def test_enumerator_does_not_fit(self):
        self.assertError(reg('<signal name="A" bits="0" default="0"><enum value="2" name="TWO"/></signal>\n'),
                         "PD_TEST.xml:5: register AUD_X, signal A: enumerator TWO = 2 does not fit 1 bit(s) (largest 1)")

    def test_duplicate_enumerators(self):
        body = reg('<signal name="A" bits="1..0" default="0"><enum value="0" name="X"/><enum value="1" name="X"/>'
                   '<enum value="1" name="Y"/></signal>\n')
        code, _, err = self.run_gen(body)
        self.assertEqual(code, 1)
        self.assertIn("PD_TEST.xml:5: register AUD_X, signal A: duplicate enumerator name 'X'", err.splitlines())
        self.assertIn("PD_TEST.xml:5: register AUD_X, signal A: duplicate enumerator value 1 (X and Y)", err.splitlines())

    def test_unknown_access_strategy(self):
        self.assertError(reg('<signal name="A" bits="0" default="0"/>\n', access="CSerialRead"),
                         "PD_TEST.xml:4: register AUD_X: unknown access strategy 'CSerialRead'")

    def test_register_default_differs(self):
        self.assertError(reg('<signal name="A" bits="3..0" default="5"/>\n', default="0x0004"),
                         "PD_TEST.xml:4: register AUD_X: default 0x4 differs from 0x5, which its signals and hidden bits give")

    def test_names_must_be_cpp_identifiers(self):
        self.assertError(reg('<signal name="2ND" bits="0" default="0"/>\n'),
                         "PD_TEST.xml:5: register AUD_X, signal 2ND: signal name '2ND' is not a valid C++ identifier")
        self.assertError(reg('<signal name="A" bits="0" default="0"><enum value="0" name="delete"/></signal>\n'),
                         "PD_TEST.xml:5: register AUD_X, signal A: enumerator name 'delete' is a C++ keyword")
        self.assertError(reg('<signal name="A" bits="0" default="0"/>\n', name="AUD_X-1"),
                         "PD_TEST.xml:4: register AUD_X-1: register name 'AUD_X-1' is not a valid C++ identifier")

    def test_other_description_faults(self):
        self.assertError(reg('<signal name="A" bits="0" default="0" values="NOPE"/>\n'),
                         "PD_TEST.xml:5: register AUD_X, signal A: unknown value list 'NOPE'")
        self.assertError(reg('<signal name="A" bits="0" default="0"/>\n', name="XYZ_A"),
                         "PD_TEST.xml:4: register XYZ_A: no <block> declares the prefix 'XYZ'")
        self.assertError('<register name="AUD_X"', "PD_TEST.xml:4: not well-formed XML: not well-formed (invalid token)")
        self.assertError("<blocks/>\n", "PD_TEST.xml:1: the root element must be <device>", whole=True)
        one = '<signal name="A" bits="0" default="0"/>\n'
        for body, messages in [
            ("<bogus/>\n", ["4: unexpected element <bogus>"]),
            ('<block prefix="XYZ"/>\n', ["4: block: missing attribute 'folder'"]),
            ('<block prefix="XYZ" folder="Bad"/>\n', ["4: block XYZ: folder 'Bad' must be lower-case letters, digits, _"]),
            ('<values name="V"/>\n<values name="V"/>\n', ["5: values V: duplicate value list name"]),
            (reg("<foo/>\n"), ["5: register AUD_X: unexpected element <foo>"]),
            (reg(one).replace(' default="0x0"', ""), ["4: register AUD_X: missing attribute 'default'"]),
            (reg('<signal name="A" bits="0"/>\n'), ["5: register AUD_X, signal A: missing attribute 'default'"]),
            (reg('<signal name="A" bits="0" default="x"/>\n'), ["5: register AUD_X, signal A: default 'x' is not a number"]),
            (reg('<signal name="A" bits="x" default="0"/>\n'),
             ["5: register AUD_X, signal A: bits 'x' must be 'hi..lo' or one bit number"]),
            (reg('<signal name="A" bits="0..3" default="0"/>\n'), ["5: register AUD_X, signal A: bits '0..3': the high bit comes first"]),
            (reg('<signal name="A" bits="0" default="0"><foo/><enum name="X"/><enum value="0" name="A"/></signal>\n'),
             ["5: register AUD_X, signal A: unexpected element <foo>", "5: register AUD_X, signal A: missing attribute 'value'"]),
            (reg('<signal name="A" bits="0" default="0"><enum value="0" name="A"/></signal>\n'),
             ["5: register AUD_X, signal A: enumerator 'A' has the signal's own name"]),
            (reg('<signal name="A__B" bits="0" default="0"/>\n'), ["5: register AUD_X, signal A__B: signal name 'A__B' is reserved in C++"]),
            (reg(one, width=8), ["4: register AUD_X: width 8: a register is 16, 24 or 32 bits wide"]),
            (reg('<signal name="A" bits="1..0" default="0"/>\n', more=' status="yes"'),
             ["5: register AUD_X, signal A: a status register holds one-bit signals only"]),
            (reg(one, more=' hidden="x"'), ["4: register AUD_X: hidden: 'x' is not a bit number"]),
            (reg(one, more=' hidden="16 0" forced="5"'),
             ["4: register AUD_X: hidden bit 16 must lie inside the width and outside every signal",
              "4: register AUD_X: hidden bit 0 must lie inside the width and outside every signal",
              "4: register AUD_X: forced bit 5 must be a hidden bit"]),
            # The signal named in an overlap is the first one inside the width that shares a bit.
            (reg('<signal name="A" bits="15..12" default="0"/>\n<signal name="B" bits="13" default="0"/>\n'),
             ["6: register AUD_X, signal B: bits 13..13 overlap signal A"]),
            (reg('<signal name="A" bits="17..14" default="0"/>\n<signal name="B" bits="15..14" default="0"/>\n'
                 '<signal name="C" bits="14" default="0"/>\n'), ["7: register AUD_X, signal C: bits 14..14 overlap signal B"]),
            (reg(one).replace("0x0E00", "0x100000000"), ["4: register AUD_X: address 0x100000000 does not fit 32 bits"]),
            (RAM.replace('access="CParallelRead_ParallelWrite"', 'access="CParallelRead"'),
             ["4: register AUD_RAM: a memory cannot use CParallelRead"]),
            (RAM.replace('words="7"', 'words="1"'), ["4: register AUD_RAM: words 1: a memory holds 2 to 1048576 words"]),
            (RAM.replace('words="7"', 'words="1048577"'), ["4: register AUD_RAM: words 1048577: a memory holds 2 to 1048576 words"]),
        ]:
            for message in messages:
                with self.subTest(message):
                    self.assertError(body, "PD_TEST.xml:" + message)


if __name__ == "__main__":
    unittest.main()
