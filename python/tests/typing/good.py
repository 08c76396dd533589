"""A test bench script mypy accepts: names, enumerators and values as the stubs give them."""
import zev

host = zev.SimulatedHost()
dev = zev.Device(host.bus, host.utility, host.status)
TRIG_SEL = zev.enums.AUD_CNTRL0.TRIG_SEL
dev.AUD_CNTRL0.TRIG_SEL.set(TRIG_SEL.MARKER_SIG_3, zev.WriteMode.IMMEDIATE)
name: str = dev.AUD_CNTRL0.TRIG_SEL.get(read_hw=True).name
level: int = dev.DIN_CNTRL0.FIFOLEVEL.get() + 1
dev.DIN_CNTRL0.FIFOLEVEL.set(level)
words: list = dev.ENT_H1.get(start=4, count=3)
state: zev.LockState = dev.AUD_CNTRL0.TRIG_SEL.lock_state
remote: zev.Device = zev.connect("http://127.0.0.1:7411", token_file="token")
remote.AUD_CNTRL0.TRIG_SEL.set(zev.enums.AUD_CNTRL0.TRIG_SEL.MARKER_SIG_1)
with zev.connect("http://127.0.0.1:7411", token_file="token") as served:
    served.ENT_H1.set([1, 2], start=4)
saved: str = dev.save_set("bench.json", registers=["AUD_CNTRL0", "ENT_H1"])
differences: list = dev.compare_set("bench.json") + dev.compare_set(registers=["AUD_CNTRL0"])
written: int = dev.apply_set("bench.json", only=["AUD_CNTRL0.TRIG_SEL", {"register": "ENT_H1", "start": 2, "count": 1}])["written"]
