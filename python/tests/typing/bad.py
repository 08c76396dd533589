"""Each marked line is a mistake mypy must show (the test counts them)."""
import zev

host = zev.SimulatedHost()
dev = zev.Device(host.bus, host.utility, host.status)
dev.AUD_CNTRL00.TRIG_SEL.set(zev.enums.AUD_CNTRL0.TRIG_SEL.MARKER_SIG_3)  # error: misspelled register
dev.AUD_CNTRL0.TRIG_SELL.set(zev.enums.AUD_CNTRL0.TRIG_SEL.MARKER_SIG_3)  # error: misspelled signal
dev.AUD_CNTRL0.TRIG_SEL.set(zev.enums.AUD_CNTRL0.TRIG_SEL.MARKER_SIG_33)  # error: misspelled enumerator
dev.AUD_CNTRL0.TRIG_SEL.set(zev.enums.DIN_CNTRL0.ROUND_MODE.ROUND_18_BIT)  # error: another signal's member
dev.AUD_CNTRL0.TRIG_SEL.set(zev.WriteMode.DEFERRED)  # error: a write mode as the value
