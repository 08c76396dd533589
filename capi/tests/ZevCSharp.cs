// The conformance cases (cases.json, its path the argument) through the C interface from C#
// by P/Invoke, as the ctypes door runs them: each case on a simulated device of its own, set
// to its defaults, its setup first, the answer compared in the cases' terms. What a C# host
// adds is its marshalling: strings in, texts into byte buffers (a small one first, the rest
// by zev_fetch_text), words as uint[], a struct, a log callback as a delegate. Prints each
// difference; exits non-zero on any, or when no case ran.
using System;
using System.Collections.Generic;
using System.IO;
using System.Linq;
using System.Runtime.InteropServices;
using System.Text;
using System.Web.Script.Serialization;
using Dict = System.Collections.Generic.Dictionary<string, object>;

static class Zev
{
    const string Lib = "rl_zev_c"; // rl_zev_c.dll on Windows, librl_zev_c.so elsewhere
    public const int BufferTooSmall = 4;
    [StructLayout(LayoutKind.Sequential)]
    public struct RegisterInfo { public uint address, width, words, access, status, signalCount; }
    [UnmanagedFunctionPointer(CallingConvention.Cdecl)] public delegate int LogFn(IntPtr context, string line);
    [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] public static extern uint zev_abi_version();
    [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] public static extern int zev_create_simulated(out IntPtr device);
    [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] public static extern int zev_destroy(IntPtr device);
    [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] public static extern int zev_last_error(IntPtr device, byte[] text, uint size, out uint needed);
    [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] public static extern int zev_fetch_text(IntPtr device, byte[] text, uint size, out uint needed);
    [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] public static extern int zev_reports(IntPtr device, byte[] text, uint size, out uint needed);
    [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] public static extern int zev_clear_reports(IntPtr device);
    [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] public static extern int zev_set_to_default(IntPtr device);
    [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] public static extern int zev_snapshot(IntPtr device, byte[] text, uint size, out uint needed);
    [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] public static extern int zev_service_read(IntPtr device, string register, string signal, uint start, uint count, byte[] texts, uint size, out uint needed, out uint textCount);
    [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] public static extern int zev_service_write(IntPtr device, string register, string signal, string values, uint start);
    [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] public static extern int zev_value_by_string(IntPtr device, string register, string signal, byte[] texts, uint size, out uint needed);
    [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] public static extern int zev_lock(IntPtr device, string register, string signal);
    [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] public static extern int zev_unlock(IntPtr device, string register, string signal);
    [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] public static extern int zev_set_log_callback(IntPtr device, LogFn log, IntPtr context);
    [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] public static extern int zev_logging(IntPtr device, string register, string signal, int enable);
    [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] public static extern int zev_register_find(IntPtr device, string name, out IntPtr register);
    [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] public static extern int zev_register_describe(IntPtr register, out RegisterInfo info);
    [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] public static extern int zev_register_set_to_default(IntPtr register, out int written);
    [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] public static extern int zev_register_read(IntPtr register, uint start, uint count, uint[] words);
    [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] public static extern int zev_register_write(IntPtr register, uint start, uint count, uint[] words);
    [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] public static extern int zev_memory_get(IntPtr register, uint start, uint count, int readHw, uint[] words, out int read);
    [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] public static extern int zev_memory_set(IntPtr register, uint start, uint count, uint[] words, out int written);
    [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] public static extern int zev_signal_lookup(IntPtr device, string register, string signal, out IntPtr handle);
    [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] public static extern int zev_signal_get(IntPtr signal, int readHw, out uint value);
    [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] public static extern int zev_signal_set(IntPtr signal, uint value, int mode, out int written);
    [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] public static extern int zev_sim_fail_reads(IntPtr device, int n);
    [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] public static extern int zev_sim_ready_after(IntPtr device, uint polls);
}

static class Program
{
    static readonly JavaScriptSerializer Json = new JavaScriptSerializer();
    static readonly string[] Classes = { "ok", "refused", "refused", "bad", "buffer", "fault" }; // unknown: refused
    static readonly List<string> s_lines = new List<string>();
    static readonly Zev.LogFn s_log = (context, line) => { s_lines.Add(line); return 0; }; // a field: lives on
    static IntPtr s_device;
    static bool s_logging; // the case switched logging on: its change-log lines are compared

    delegate int TextCall(byte[] text, uint size, out uint needed);

    static string Str(byte[] text) { return Encoding.UTF8.GetString(text, 0, Array.IndexOf(text, (byte)0)); }

    // A text out: 16 bytes first; a longer text the device keeps, and zev_fetch_text hands it over.
    static int Texts(TextCall call, out string text)
    {
        uint needed;
        var buffer = new byte[16];
        int status = call(buffer, (uint)buffer.Length, out needed);
        if (status == Zev.BufferTooSmall)
            status = Zev.zev_fetch_text(s_device, buffer = new byte[needed], needed, out needed);
        text = Str(buffer);
        return status;
    }

    static string LastError()
    {
        uint needed;
        Zev.zev_last_error(s_device, null, 0, out needed); // the size alone: the last error stays
        var text = new byte[needed];
        return Zev.zev_last_error(s_device, text, needed, out needed) == 0 ? Str(text) : "(no last error)";
    }

    static T Arg<T>(Dict op, string key, T otherwise)
    {
        object given;
        if (!op.TryGetValue(key, out given))
            return otherwise;
        return given is T ? (T)given : (T)Convert.ChangeType(given, typeof(T));
    }

    // C takes a count always: one left out is the rest of the register (none of an unknown one).
    static uint Count(Dict op)
    {
        IntPtr register;
        Zev.RegisterInfo info;
        if (op.ContainsKey("count") || Zev.zev_register_find(s_device, (string)op["register"], out register) != 0)
            return Arg<uint>(op, "count", 0);
        Zev.zev_register_describe(register, out info);
        return (uint)Math.Max((long)info.words - Arg<uint>(op, "start", 0), 0);
    }

    static int Call(Dict op, out object value)
    {
        string name = (string)op["op"], reg = Arg<string>(op, "register", null), sig = Arg<string>(op, "signal", "");
        string text;
        uint start = Arg<uint>(op, "start", 0);
        uint count = name == "read" || name == "words" || name == "getBlock" ? Count(op) : 0;
        var given = ((object[])Arg<object>(op, "words", new object[0])).Select(w => Convert.ToUInt32(w)).ToArray();
        int status = 0, flag = 0, readHw = Arg<bool>(op, "readHw", false) ? 1 : 0;
        uint word = 0;
        IntPtr handle;
        value = null;
        switch (name)
        {
        case "read":
        case "value":
            status = name == "read"
                ? Texts((byte[] b, uint n, out uint need) =>
                  { uint c; return Zev.zev_service_read(s_device, reg, sig, start, count, b, n, out need, out c); },
                  out text)
                : Texts((byte[] b, uint n, out uint need) =>
                  Zev.zev_value_by_string(s_device, reg, sig, b, n, out need), out text);
            value = text == "" ? new string[0] : text.Split('\n');
            return status;
        case "write":
            return Zev.zev_service_write(s_device, reg, sig, string.Join("\n", (object[])op["values"]), start);
        case "lock": return Zev.zev_lock(s_device, reg, sig);
        case "unlock": return Zev.zev_unlock(s_device, reg, sig);
        case "logging":
            s_logging = true;
            return Zev.zev_logging(s_device, reg, sig, Arg<bool>(op, "enable", true) ? 1 : 0);
        case "defaults": return Zev.zev_set_to_default(s_device);
        case "snapshot":
            status = Texts((byte[] b, uint n, out uint need) => Zev.zev_snapshot(s_device, b, n, out need), out text);
            value = text.Count(c => c == '\n');
            return status;
        case "get":
        case "set":
            if ((status = Zev.zev_signal_lookup(s_device, reg, sig, out handle)) != 0)
                return status;
            status = name == "get"
                ? Zev.zev_signal_get(handle, readHw, out word)
                : Zev.zev_signal_set(handle, Arg<uint>(op, "value", 0), Arg<int>(op, "mode", 0), out flag);
            value = name == "get" ? (object)word : flag != 0;
            return status;
        }
        if ((status = Zev.zev_register_find(s_device, reg, out handle)) != 0)
            return status;
        var words = new uint[Math.Max(count, 1)];
        switch (name)
        {
        case "registerDefaults": status = Zev.zev_register_set_to_default(handle, out flag); break;
        case "words": status = Zev.zev_register_read(handle, start, count, words); break;
        case "getBlock": status = Zev.zev_memory_get(handle, start, count, readHw, words, out flag); break;
        case "writeWords": return Zev.zev_register_write(handle, start, (uint)given.Length, given);
        case "setBlock": status = Zev.zev_memory_set(handle, start, (uint)given.Length, given, out flag); break;
        default: throw new NotSupportedException(name);
        }
        value = name == "words" || name == "getBlock" ? (object)words.Take((int)count).ToArray() : flag != 0;
        return status;
    }

    // The answer in the cases' terms: class, value, error, reports and (while logging) the log.
    static Dict Run(Dict op, string fault)
    {
        if (fault == "read")
            Zev.zev_sim_fail_reads(s_device, 1);
        else if (fault == "notReady")
            Zev.zev_sim_ready_after(s_device, 0);
        Zev.zev_clear_reports(s_device);
        int logged = s_lines.Count;
        object value;
        int status = Call(op, out value);
        string error = status != 0 ? LastError() : "", reports;
        Texts((byte[] b, uint n, out uint need) => Zev.zev_reports(s_device, b, n, out need), out reports);
        var messages = reports.Split(new[] { '\n' }, StringSplitOptions.RemoveEmptyEntries)
                              .Select(line => line.Split(new[] { ": " }, 3, StringSplitOptions.None).Last()).ToArray();
        string cls = status < Classes.Length ? Classes[status] : "status " + status;
        var seen = new Dict {
            { "class", cls == "ok" && messages.Length > 0 ? "reported" : cls }, { "error", error },
            { "reports", messages }, { "value", status == 0 || (string)op["op"] == "read" ? value : null } };
        if (s_logging)
            seen["log"] = s_lines.Skip(logged).ToArray();
        return seen;
    }

    static int Main(string[] args)
    {
        if (Zev.zev_abi_version() != 3)
            throw new InvalidOperationException("the library's ABI is " + Zev.zev_abi_version() +
                                                ", these declarations are for 3");
        var cases = (object[])((Dict)Json.DeserializeObject(File.ReadAllText(args[0])))["cases"];
        int ran = 0, skipped = 0, differing = 0;
        foreach (Dict kase in cases)
        {
            var op = (Dict)kase["op"];
            var steps = ((object[])Arg<object>(kase, "setup", new object[0])).Cast<Dict>();
            var not = (Dict)Arg<object>(kase, "not", new Dict());
            string why = not.ContainsKey("csharp") ? (string)not["csharp"]
                : Arg<bool>(kase, "readOnly", false) ? "a device in the process has no read-only mode"
                : steps.Concat(new[] { op }).Any(s => (string)s["op"] == "state" || (string)s["op"] == "appWords")
                ? "the door has no call for a step" : "";
            if (why != "")
            {
                Console.WriteLine("skipped: " + kase["name"] + ": " + why);
                ++skipped;
                continue;
            }
            // The C door refuses a call on one register or signal whose library call reported;
            // device-wide calls only report.
            var expect = new Dict((Dict)kase["expect"]);
            string name = (string)op["op"];
            if ((string)expect["class"] == "reported" && name != "defaults" && name != "snapshot")
            {
                expect["class"] = "refused";
                if (!expect.ContainsKey("error"))
                    expect["error"] = ((object[])Arg<object>(expect, "reports", new object[] { "" })).Last();
                expect.Remove("value");
            }
            var diffs = new List<string>();
            if (Zev.zev_create_simulated(out s_device) != 0 ||
                Zev.zev_set_log_callback(s_device, s_log, IntPtr.Zero) != 0)
                throw new InvalidOperationException("no simulated device");
            s_logging = false;
            Zev.zev_set_to_default(s_device);
            foreach (var step in steps)
            {
                var setup = Run(step, "");
                if ((string)setup["class"] != "ok" && (string)setup["class"] != "reported")
                    diffs.Add("setup " + Json.Serialize(step) + ": " + setup["class"] + " " + setup["error"]);
            }
            if (diffs.Count == 0)
            {
                var seen = Run(op, Arg<string>(kase, "fault", ""));
                foreach (var key in new[] { "class", "value", "error", "reports", "log" })
                {
                    string wanted = Json.Serialize(Arg<object>(expect, key, null));
                    string got = Json.Serialize(Arg<object>(seen, key, null));
                    if (expect.ContainsKey(key) && seen.ContainsKey(key) && wanted != got)
                        diffs.Add(key + " " + got + ", not " + wanted + (key == "class" ? " " + seen["error"] : ""));
                }
            }
            Zev.zev_destroy(s_device);
            ++ran;
            differing += diffs.Count > 0 ? 1 : 0;
            foreach (var diff in diffs)
                Console.WriteLine(kase["name"] + ": " + diff);
        }
        Console.WriteLine("C# through P/Invoke: {0} cases run, {1} skipped, {2} differ", ran, skipped, differing);
        return ran > 0 && differing == 0 ? 0 : 1;
    }
}
