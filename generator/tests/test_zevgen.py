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

    def run_gen(self, body, *extra, whole=False, outdir=True):
        path = os.path.join(self.tmp.name, "PD_TEST.xml")
        with open(path, "w") as f:
            f.write(body if whole else HEAD + body + TAIL)
        out, err = io.StringIO(), io.StringIO()
        with redirect_stdout(out), redirect_stderr(err):
            code = zevgen.main(list(extra) + [path] + ([self.out] if outdir else []))
        return code, out.getvalue(), err.getvalue()

    def assertHas(self, rel, *parts):
        """Each part is in the generated file rel: its text."""
        with open(os.path.join(self.out, rel)) as f:
            text = f.read()
        for part in parts:
            self.assertIn(part, text)
        return text

    def assertErrors(self, body, messages, whole=False):
        """Exit 1 with exactly these errors (after "PD_TEST.xml:"), and nothing written."""
        code, _, err = self.run_gen(body, whole=whole)
        self.assertEqual((code, err.splitlines()[:-1]), (1, ["PD_TEST.xml:" + m for m in messages]))
        self.assertTrue(err.endswith("PD_TEST.xml has errors; nothing was written\n"), err)
        self.assertFalse(os.path.exists(self.out), "a bad description writes nothing")


class Features(GeneratorTest):
    def test_plain_register_is_a_thin_declaration(self):
        code, out, _ = self.run_gen(AUD)
        self.assertEqual(code, 0, out)
        h = self.assertHas(
            "zev/audio/register_aud_cntrl0.h",
            'inline constexpr SRegisterLayout kLayout = {"AUD_CNTRL0", 0x0E00, 24, 0x00FFFE00, 0x00FFFE00, '
            "0x00000000, 0x000001FF, 0x00000009, false};",
            'inline constexpr SEnumerator kTRIG_SEL_Values[] = {{0, "M0"}, {1, "M1"}, {7, "M7"}};',
            'inline constexpr SSignalInfo kTRIG_SEL = {"TRIG_SEL", 0, 3, 1, kTRIG_SEL_Values, 3};',
            'inline constexpr SSignalInfo kMULT_HP = {"MULT_HP", 3, 6, 1, nullptr, 0};',
            "    enum TRIG_SEL : unsigned", "        M7 = 7,",
            "    TRIG_SEL Get(bool a_bReadHW) const { return static_cast<TRIG_SEL>(CFieldSignal::Get(a_bReadHW)); }",
            "class RL_ZEV_EXPORT CRegister_AUD_CNTRL0 : public CPlainRegister<CSequentialRead_ParallelWrite>",
            "    ::ZEV::AUD_CNTRL0::CSignal_MULT_HP MULT_HP;")
        self.assertEqual(h.count("Get(bool"), 1, "a numeric signal uses the framework's unsigned Get")
        self.assertNotIn("ResetAllStatusBits", h)
        self.assertHas("zev/audio/register_aud_cntrl0.cpp",
                       "    : CPlainRegister(a_pHWAccess, a_pStatusRegister, ::ZEV::AUD_CNTRL0::kLayout, a_udwValue), "
                       "TRIG_SEL(this), MULT_HP(this)")

    def test_status_and_hidden_bits(self):
        self.assertEqual(self.run_gen(STATUS)[0], 0)
        self.assertHas("zev/status/register_pri_statusreg1.h", "    using CPlainRegister::ResetAllStatusBits;",
                       "0x0018, 32, 0x7FFEFFFE, 0xFFFFFFFE, 0x00000000, 0x80010001, 0x00000000, true};")
        self.assertHas("zev/status/register_pri_prestatreg_mask1.h",
                       "0x0022, 32, 0xFFFEFFFE, 0xFFFEFFFE, 0x00010000, 0x00010001, 0x00010001, false};")

    def test_memory(self):
        self.assertEqual(self.run_gen(RAM)[0], 0)
        self.assertHas("zev/audio/register_aud_ram.h",
                       'inline constexpr SRamLayout kLayout = {"AUD_RAM", 0x10000, 7, "zev\\\\audio\\\\register_aud_ram", '
                       '"ZEV::CRegister_AUD_RAM::Get", "ZEV::CRegister_AUD_RAM::Set"};',
                       "class RL_ZEV_EXPORT CRegister_AUD_RAM : public CRamRegister<CParallelRead_ParallelWrite>")

    def test_device_keeps_description_order(self):
        self.assertEqual(self.run_gen(STATUS + AUD + RAM)[0], 0)
        order = [line.split()[1] for line in self.assertHas("zev/zev_device.h").splitlines()
                 if line.startswith("    ::ZEV::CRegister_")]
        self.assertEqual(order, ["PRI_STATUSREG1;", "PRI_PRESTATREG_MASK1;", "AUD_CNTRL0;", "AUD_RAM;"])
        self.assertHas("zev/zev_device.cpp", '    m_strXMLVersion = "V1";',
                       "    m_pRegisterList->assign(apRegisters, apRegisters + 4);")
        self.assertHas(
            "zev/zev_map.cpp",
            'const SSignalInfo kAUD_CNTRL0[] = {{"TRIG_SEL", 0, 3, 1, kAUD_CNTRL0_TRIG_SEL, 3}, '
            '{"MULT_HP", 3, 6, 1, nullptr, 0}};',
            '    {"PRI_STATUSREG1", 0x0018, 32, 1, "CParallelRead_ParallelWrite", true, true, false, true, '
            'kPRI_STATUSREG1, 1},',
            '    {"AUD_RAM", 0x10000, 32, 7, "CParallelRead_ParallelWrite", true, true, false, false, nullptr, 0},',
            '    {"AUD_CNTRL0", 0x0E00, 24, 1, "CSequentialRead_ParallelWrite", true, true, true, false, kAUD_CNTRL0, 2},')
        self.assertHas(
            "zev/zev_selfcheck.cpp",
            "static_assert(::ZEV::AUD_CNTRL0::kMULT_HP.m_udwLow == 3 && ::ZEV::AUD_CNTRL0::kMULT_HP.m_udwWidth == 6, "
            '"AUD_CNTRL0.MULT_HP");',
            "static_assert(::ZEV::AUD_RAM::kLayout.m_udwAddress == 0x10000 && "
            "::ZEV::AUD_RAM::kLayout.m_udwWordCount == 7",
            "static_assert(rlzev::LayoutAgrees(::ZEV::AUD_CNTRL0::kLayout, {&::ZEV::AUD_CNTRL0::kTRIG_SEL, "
            '&::ZEV::AUD_CNTRL0::kMULT_HP}), "AUD_CNTRL0 layout");')

    def test_rewrites_only_changed_files(self):
        self.assertEqual(self.run_gen(AUD + RAM)[0], 0)
        before = {rel: os.stat(os.path.join(self.out, rel)).st_mtime_ns for rel in
                  ("zev/audio/register_aud_ram.h", "zev/zev_device.h")}
        self.assertIn("0 rewritten", self.run_gen(AUD + RAM)[1])
        changed = AUD.replace('default="1"/>', 'default="2"/>').replace("0x000009", "0x000011")
        self.assertIn(", 2 rewritten", self.run_gen(changed + RAM)[1], "the changed register's header and the map")
        for rel, mtime in before.items():
            self.assertEqual(os.stat(os.path.join(self.out, rel)).st_mtime_ns, mtime, rel)

    def test_list_names_every_output(self):
        self.assertEqual(self.run_gen(AUD + RAM, "--list", outdir=False), (0, "\n".join(sorted([
            "zev/audio/register_aud_cntrl0.cpp", "zev/audio/register_aud_cntrl0.h", "zev/audio/register_aud_ram.cpp",
            "zev/audio/register_aud_ram.h", "zev/zev_device.cpp", "zev/zev_device.h", "zev/zev_map.cpp",
            "zev/zev_selfcheck.cpp", "python/zev.pyi"])) + "\n", ""))
        self.assertRaises(SystemExit, self.run_gen, AUD + RAM, outdir=False)  # no OUTDIR
        out = io.StringIO()
        with redirect_stdout(out), self.assertRaises(SystemExit):
            zevgen.main(["--help"])
        self.assertIn("Turns the register description", out.getvalue())

    def test_limits_that_hold(self):
        body = (RAM.replace('words="7"', 'words="2"') + RAM.replace("AUD_RAM", "AUD_BIG")
                .replace('words="7"', 'words="1048576"').replace("0x10000", "0xFFFFFFFF"))
        self.assertEqual(self.run_gen(body, "--list")[0], 0)


def reg(signals, default="0x0", access="CSequentialRead_ParallelWrite", name="AUD_X", width=16, more=""):
    return '<register name="%s" address="0x0E00" width="%d" access="%s" default="%s"%s>\n%s</register>\n' % (
        name, width, access, default, more, signals)


ONE = '<signal name="A" bits="0" default="0"/>\n'


class Validation(GeneratorTest):
    def test_every_fault_is_named_with_its_line_register_and_signal(self):
        """All of a description's errors and only them: a register whose signals are wrong is not
        blamed for its default as well."""
        for body, messages in [
            (reg(ONE) * 2, ["7: register AUD_X: duplicate register name (first at line 4)"]),
            (reg(ONE + '<signal name="A" bits="1" default="0"/>\n'),
             ["6: register AUD_X, signal A: duplicate signal name (first at line 5)"]),
            (reg('<signal name="A" bits="16..15" default="0"/>\n', default="0x1"),
             ["5: register AUD_X, signal A: bits 16..15 lie outside the register's 16 bits"]),
            (reg('<signal name="A" bits="3..0" default="0"/>\n<signal name="B" bits="4..3" default="0"/>\n'),
             ["6: register AUD_X, signal B: bits 4..3 overlap signal A"]),
            (reg('<signal name="A" bits="1..0" default="4"/>\n'),
             ["5: register AUD_X, signal A: default 4 does not fit 2 bit(s) (largest 3)"]),
            (reg('<signal name="A" bits="0" default="0"><enum value="2" name="TWO"/></signal>\n'),
             ["5: register AUD_X, signal A: enumerator TWO = 2 does not fit 1 bit(s) (largest 1)"]),
            (reg('<signal name="A" bits="1..0" default="0"><enum value="0" name="X"/><enum value="1" name="X"/>'
                 '<enum value="1" name="Y"/></signal>\n'),
             ["5: register AUD_X, signal A: duplicate enumerator name 'X'",
              "5: register AUD_X, signal A: duplicate enumerator value 1 (X and Y)"]),
            (reg(ONE, access="CSerialRead"), ["4: register AUD_X: unknown access strategy 'CSerialRead'"]),
            (reg('<signal name="A" bits="3..0" default="5"/>\n', default="0x0004"),
             ["4: register AUD_X: default 0x4 differs from 0x5, which its signals and hidden bits give"]),
            (reg('<signal name="2ND" bits="0" default="0"/>\n'),
             ["5: register AUD_X, signal 2ND: signal name '2ND' is not a valid C++ identifier"]),
            (reg('<signal name="A" bits="0" default="0"><enum value="0" name="delete"/></signal>\n'),
             ["5: register AUD_X, signal A: enumerator name 'delete' is a C++ keyword"]),
            (reg(ONE, name="AUD_X-1"), ["4: register AUD_X-1: register name 'AUD_X-1' is not a valid C++ identifier"]),
            (reg('<signal name="A" bits="0" default="0" values="NOPE"/>\n'),
             ["5: register AUD_X, signal A: unknown value list 'NOPE'"]),
            (reg(ONE, name="XYZ_A"), ["4: register XYZ_A: no <block> declares the prefix 'XYZ'"]),
            ('<register name="AUD_X"', ["4: not well-formed XML: not well-formed (invalid token)"]),
            ("<bogus/>\n", ["4: unexpected element <bogus>"]),
            ('<block prefix="XYZ"/>\n', ["4: block: missing attribute 'folder'"]),
            ('<block prefix="XYZ" folder="Bad"/>\n', ["4: block XYZ: folder 'Bad' must be lower-case letters, digits, _"]),
            ('<values name="V"/>\n<values name="V"/>\n', ["5: values V: duplicate value list name"]),
            (reg("<foo/>\n"), ["5: register AUD_X: unexpected element <foo>"]),
            (reg(ONE).replace(' default="0x0"', ""), ["4: register AUD_X: missing attribute 'default'"]),
            (reg('<signal name="A" bits="0"/>\n'), ["5: register AUD_X, signal A: missing attribute 'default'"]),
            (reg('<signal name="A" bits="0" default="x"/>\n'), ["5: register AUD_X, signal A: default 'x' is not a number"]),
            (reg('<signal name="A" bits="x" default="0"/>\n'),
             ["5: register AUD_X, signal A: bits 'x' must be 'hi..lo' or one bit number"]),
            (reg('<signal name="A" bits="0..3" default="0"/>\n'),
             ["5: register AUD_X, signal A: bits '0..3': the high bit comes first"]),
            (reg('<signal name="A" bits="0" default="0"><foo/><enum name="X"/><enum value="0" name="A"/></signal>\n'),
             ["5: register AUD_X, signal A: unexpected element <foo>", "5: register AUD_X, signal A: missing attribute 'value'"]),
            (reg('<signal name="A" bits="0" default="0"><enum value="0" name="A"/></signal>\n'),
             ["5: register AUD_X, signal A: enumerator 'A' has the signal's own name"]),
            (reg('<signal name="A__B" bits="0" default="0"/>\n'),
             ["5: register AUD_X, signal A__B: signal name 'A__B' is reserved in C++"]),
            (reg(ONE, width=8), ["4: register AUD_X: width 8: a register is 16, 24 or 32 bits wide"]),
            (reg('<signal name="A" bits="1..0" default="0"/>\n', more=' status="yes"'),
             ["5: register AUD_X, signal A: a status register holds one-bit signals only"]),
            (reg(ONE, more=' hidden="x"'), ["4: register AUD_X: hidden: 'x' is not a bit number"]),
            (reg(ONE, more=' hidden="16 0" forced="5"'),
             ["4: register AUD_X: hidden bit 16 must lie inside the width and outside every signal",
              "4: register AUD_X: hidden bit 0 must lie inside the width and outside every signal",
              "4: register AUD_X: forced bit 5 must be a hidden bit"]),
            # The signal named in an overlap is the first one inside the width that shares a bit.
            (reg('<signal name="A" bits="15..12" default="0"/>\n<signal name="B" bits="13" default="0"/>\n'),
             ["6: register AUD_X, signal B: bits 13..13 overlap signal A"]),
            (reg('<signal name="A" bits="17..14" default="0"/>\n<signal name="B" bits="15..14" default="0"/>\n'
                 '<signal name="C" bits="14" default="0"/>\n'),
             ["5: register AUD_X, signal A: bits 17..14 lie outside the register's 16 bits",
              "7: register AUD_X, signal C: bits 14..14 overlap signal B"]),
            (reg(ONE).replace("0x0E00", "0x100000000"), ["4: register AUD_X: address 0x100000000 does not fit 32 bits"]),
            (RAM.replace('access="CParallelRead_ParallelWrite"', 'access="CParallelRead"'),
             ["4: register AUD_RAM: a memory cannot use CParallelRead"]),
            (RAM.replace('words="7"', 'words="1"'), ["4: register AUD_RAM: words 1: a memory holds 2 to 1048576 words"]),
            (RAM.replace('words="7"', 'words="1048577"'),
             ["4: register AUD_RAM: words 1048577: a memory holds 2 to 1048576 words"]),
        ]:
            with self.subTest(messages[0]):
                self.assertErrors(body, messages)
        self.assertErrors("<blocks/>\n", ["1: the root element must be <device>"], whole=True)


if __name__ == "__main__":
    unittest.main()
