// The ZEV from C# through P/Invoke (the README's C# example grows from this): an enumerated
// signal set and read back, a memory block read, the snapshot, and a refusal's error code and
// text. Exits non-zero at the first check that fails.
using System;
using System.Runtime.InteropServices;
using System.Text;

static class Zev
{
    const string Lib = "rl_zev_c"; // rl_zev_c.dll on Windows, librl_zev_c.so elsewhere
    public const int OK = 0, REFUSED = 1, BUFFER_TOO_SMALL = 4;
    public const int WRITE_IMMEDIATE = 0;

    [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] public static extern uint zev_abi_version();
    [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] public static extern int zev_create_simulated(out IntPtr device);
    [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] public static extern int zev_destroy(IntPtr device);
    [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] public static extern int zev_set_to_default(IntPtr device);
    [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)]
    public static extern int zev_last_error(IntPtr device, byte[] text, uint size, out uint needed);
    [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)]
    public static extern int zev_snapshot(IntPtr device, byte[] text, uint size, out uint needed);
    [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)]
    public static extern int zev_fetch_text(IntPtr device, byte[] text, uint size, out uint needed);
    [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)]
    public static extern int zev_service_write(IntPtr device, string register, string signal, string values, uint start);
    [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)]
    public static extern int zev_register_find(IntPtr device, string name, out IntPtr register);
    [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)]
    public static extern int zev_signal_lookup(IntPtr device, string register, string signal, out IntPtr handle);
    [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)]
    public static extern int zev_signal_enumerator_value(IntPtr signal, string name, out uint value);
    [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)]
    public static extern int zev_signal_set(IntPtr signal, uint value, int mode, out int written);
    [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)]
    public static extern int zev_signal_get(IntPtr signal, int readHw, out uint value);
    [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)]
    public static extern int zev_memory_set(IntPtr register, uint start, uint count, uint[] words, out int written);
    [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)]
    public static extern int zev_memory_get(IntPtr register, uint start, uint count, int readHw, uint[] words, out int read);

    public static string Text(byte[] buffer)
    {
        int length = Array.IndexOf(buffer, (byte)0);
        return Encoding.UTF8.GetString(buffer, 0, length < 0 ? buffer.Length : length);
    }

    public static string LastError(IntPtr device)
    {
        var text = new byte[512];
        uint needed;
        zev_last_error(device, text, (uint)text.Length, out needed);
        return Text(text);
    }
}

static class Program
{
    static int s_failures;

    static void Check(bool condition, string what)
    {
        if (condition)
            return;
        ++s_failures;
        Console.Error.WriteLine("failed: " + what);
    }

    static int Main()
    {
        Check(Zev.zev_abi_version() == 3, "the ABI version is 3");
        IntPtr device;
        Check(Zev.zev_create_simulated(out device) == Zev.OK, "a simulated device is made");
        Zev.zev_set_to_default(device);

        // An enumerated signal by its enumerator's name, written now and read back.
        IntPtr trigSel;
        uint marker, value;
        int written;
        Check(Zev.zev_signal_lookup(device, "AUD_CNTRL0", "TRIG_SEL", out trigSel) == Zev.OK, "TRIG_SEL is found");
        Check(Zev.zev_signal_enumerator_value(trigSel, "MARKER_SIG_3", out marker) == Zev.OK && marker == 3,
              "MARKER_SIG_3 is 3");
        Check(Zev.zev_signal_set(trigSel, marker, Zev.WRITE_IMMEDIATE, out written) == Zev.OK && written == 1,
              "the set writes the register");
        Check(Zev.zev_signal_get(trigSel, 1, out value) == Zev.OK && value == 3, "TRIG_SEL reads back 3, not " + value);

        // A memory block written, then read from the device.
        IntPtr ram;
        int done;
        Check(Zev.zev_register_find(device, "DET_APD_SSRAM", out ram) == Zev.OK, "DET_APD_SSRAM is found");
        Check(Zev.zev_memory_set(ram, 16, 3, new uint[] { 0xA, 0xB, 0xC }, out done) == Zev.OK && done == 1,
              "the block is written");
        var block = new uint[3];
        Check(Zev.zev_memory_get(ram, 16, 3, 1, block, out done) == Zev.OK && done == 1, "the block is read");
        Check(block[0] == 0xA && block[1] == 0xB && block[2] == 0xC, "the block reads back A, B, C");

        // The snapshot: its size first, then the text the device kept.
        uint needed;
        Check(Zev.zev_snapshot(device, null, 0, out needed) == Zev.BUFFER_TOO_SMALL && needed > 10000,
              "the snapshot's size is asked");
        var script = new byte[needed];
        Check(Zev.zev_fetch_text(device, script, needed, out needed) == Zev.OK, "the snapshot is fetched");
        string snapshot = Zev.Text(script);
        Check(snapshot.StartsWith("function [device,ZEV] = ZEV_DUMP()\n"), "the snapshot is a script");
        Check(snapshot.Contains("\nZEV.AUD_CNTRL0.TRIG_SEL = 3; % Wert =MARKER_SIG_3\n"), "the snapshot shows TRIG_SEL");

        // A refusal: its code and the library's text.
        int status = Zev.zev_service_write(device, "AUD_CNTRL0", "MULT_HP", "256/d", 0);
        Check(status == Zev.REFUSED, "the value is refused, not " + status);
        string error = Zev.LastError(device);
        Check(error == "Value limit exceeded: 256/d,", "the error text is the library's, not \"" + error + "\"");

        Check(Zev.zev_destroy(device) == Zev.OK, "the device is destroyed");
        Console.WriteLine("C# through P/Invoke: TRIG_SEL " + value + ", block " + block[0] + " " + block[1] + " " +
                          block[2] + ", snapshot " + snapshot.Length + " bytes, refusal " + status + " \"" + error +
                          "\"; " + s_failures + " failed");
        return s_failures == 0 ? 0 : 1;
    }
}
