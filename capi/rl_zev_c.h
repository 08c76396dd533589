/* rl_zev_c.h: the ZEV for hosts that can only call C (MSVC programs, C#, LabVIEW,
 * MATLAB, Python ctypes). C99, includable from C++, fixed-width types only.
 *
 * Conventions
 * - Calling convention: __cdecl on Windows (ZEV_CALL), for every function and every
 *   callback. On x64 it is the only convention there is; on 32-bit it is the one C
 *   compilers, MATLAB's loadlibrary and LabVIEW ("C") default to, and C# P/Invoke takes it
 *   with CallingConvention.Cdecl. Names are exported undecorated.
 * - Every function returns a zev_status (int32_t): ZEV_OK (0) or an error code. A call on
 *   a device, register or signal that fails keeps a text for it in its device, readable
 *   with zev_last_error: the library's or the device runtime's own text where they refused
 *   ("Value limit exceeded: 256/d,"), else this interface's (a null pointer, a buffer too
 *   small). A call that succeeds leaves it as it was.
 * - Texts out go into the caller's buffer (text, size in bytes). The needed size, with the
 *   terminating NUL, is written to *needed (needed may be NULL). A buffer too small gets
 *   an empty string and ZEV_BUFFER_TOO_SMALL, unless the call failed as well (ZEV_REFUSED,
 *   ZEV_HOST_FAULT): then that status and its last error, *needed beyond the size. Either
 *   way the device keeps that call's text, and zev_fetch_text, called next, hands it over
 *   without reading the device again (any other call on the device between them,
 *   zev_last_error aside, drops it or keeps its own text instead). The kept text and
 *   the last error are the device's, not a thread's: threads sharing a device hold their
 *   own lock around a call and its zev_fetch_text or zev_last_error. Lists of texts are
 *   one text, the items joined by '\n'; lists given in are lines too ("\n" or "\r\n", the
 *   last line end optional; "" is an empty list).
 * - Value texts are the library's: "12/d" decimal, "1F/h" hexadecimal, enumerator names;
 *   reads give "0000001F/h" or the enumerator name.
 * - No C++ exception leaves this interface: one thrown by the library, or escaping a
 *   host callback (a callback that returns non-zero, or throws), becomes ZEV_HOST_FAULT.
 *   A failing log callback makes the call that logged end in ZEV_HOST_FAULT (what the call
 *   did stays done); logging goes on.
 * - Reports of the library (refused text-service values, unknown names, refused
 *   directions, "not ready" of the read-back path) go to the device's report callbacks and
 *   into its report log (zev_reports), never to another device. A call on one register or
 *   signal during which the library reported (a typed set refused for its direction, a
 *   read-back never ready) returns ZEV_REFUSED with the report's message as the last error;
 *   device-wide calls (defaults, ALL, snapshot) only report.
 * - Calls by name and on a register's words are the device runtime's operations, checked
 *   and run as every other door (Python, HTTP, zevctl) checks and runs them: what the
 *   runtime's check refuses before the device (words beyond a register or memory, a
 *   one-word register's start or count beyond word 0, not a memory, a value beyond its
 *   field, a malformed name or value text, too many words, a memory set of no words) is
 *   ZEV_BAD_ARGUMENT with the runtime's text, and nothing is changed.
 * - Names: an unknown register or signal name is ZEV_NOT_FOUND in every call, with the
 *   library's or the runtime's text ("Invalid signal submitted: NOPE").
 *
 * Threads: calls on one device, its registers and signals are serialised (a call waits for
 * the one running); different devices work on different threads at once. A callback may
 * not call its own device (ZEV_BAD_ARGUMENT, nothing done), nor make or destroy any device
 * (ZEV_BAD_ARGUMENT, the device stays). zev_destroy while a call on the device runs is
 * refused the same way; calling a device while or after it is destroyed is the caller's
 * fault. Making and destroying devices waits for calls by name on other devices.
 */
#ifndef RL_ZEV_C_H
#define RL_ZEV_C_H

#include <stdint.h>

#if defined(_WIN32)
#define ZEV_CALL __cdecl
#if defined(RL_ZEV_C_BUILD)
#define ZEV_API __declspec(dllexport)
#else
#define ZEV_API __declspec(dllimport)
#endif
#else
#define ZEV_CALL
#if defined(RL_ZEV_C_BUILD)
#define ZEV_API __attribute__((visibility("default")))
#else
#define ZEV_API
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Changes whenever a function, a struct or a meaning changes; compare with zev_abi_version(). */
#define ZEV_ABI_VERSION 3

typedef int32_t zev_status;
#define ZEV_OK 0
#define ZEV_REFUSED 1          /* the library said no (its text is the last error) */
#define ZEV_NOT_FOUND 2        /* no register, signal, enumerator or kept text of that name */
#define ZEV_BAD_ARGUMENT 3     /* a null pointer; refused before the device: a range, a value beyond its field, ... */
#define ZEV_BUFFER_TOO_SMALL 4 /* *needed holds the size the text needs */
#define ZEV_HOST_FAULT 5       /* an exception: a callback failed, or the library threw */

/* How a typed set reaches the hardware; any other number is refused (ZEV_BAD_ARGUMENT). */
#define ZEV_WRITE_IMMEDIATE 0
#define ZEV_WRITE_DEFERRED 1
#define ZEV_WRITE_IF_CHANGED 2

/* Lock states of signals and memories. */
#define ZEV_UNLOCKED 0
#define ZEV_LOCKED 1
#define ZEV_SERVICE_ACCESS 2

/* A register's access: how each direction moves. */
#define ZEV_ACCESS_READ_WRITE 0            /* direct read, direct write */
#define ZEV_ACCESS_READ_BACK_WRITE 1       /* read through the device's read-back path, direct write */
#define ZEV_ACCESS_WRITE_ONLY 2            /* reads are refused (reported) */
#define ZEV_ACCESS_READ_ONLY 3             /* writes are refused (reported) */

/* zev_device_identity */
#define ZEV_IDENTITY_NAME 0                /* "ZEV" */
#define ZEV_IDENTITY_XML_VERSION 1         /* the register description's version */
#define ZEV_IDENTITY_GENERATOR_VERSION 2   /* the code generator's version */

typedef struct zev_device zev_device;
typedef struct zev_register zev_register; /* valid while its device lives */
typedef struct zev_signal zev_signal;     /* valid while its device lives */

/* Report callbacks: the texts are valid during the call only. */
typedef void(ZEV_CALL* zev_report_fn)(void* context, const char* file, int32_t line, const char* function,
                                      const char* message);
/* One change-log line, without its line end. Non-zero: the callback failed. */
typedef int32_t(ZEV_CALL* zev_log_fn)(void* context, const char* line);

/* The caller's host: the device's bus, its status-word preparation and where reports go.
 * A callback returning non-zero has failed: the call that made it ends in ZEV_HOST_FAULT
 * (inside the read-back path the library itself catches it and reports ",Unknown error!").
 * write, read and wait are needed; the others may be NULL (a status word goes out as the
 * library made it, reports go to the log only, waiting never stops early). */
typedef struct zev_host
{
    void* context; /* handed to every callback */
    /* Words at consecutive word addresses from address on; byte_count bytes (2, 3, 4 or 4n). */
    int32_t(ZEV_CALL* write)(void* context, uint32_t address, const uint32_t* words, uint32_t byte_count);
    int32_t(ZEV_CALL* read)(void* context, uint32_t address, uint32_t* words, uint32_t byte_count);
    int32_t(ZEV_CALL* wait)(void* context, uint32_t duration);
    /* A write-one-to-clear status register's word, changed in place before it is written. */
    int32_t(ZEV_CALL* prepare_set)(void* context, uint32_t* word);
    int32_t(ZEV_CALL* prepare_reset)(void* context, uint32_t* word);
    int32_t(ZEV_CALL* prepare_reset_all)(void* context, uint32_t* word);
    zev_report_fn report_error;
    zev_report_fn report_access_denied;
    /* Asked between the read-back path's polls: non-zero ends the waiting. */
    int32_t(ZEV_CALL* stop_waiting)(void* context);
} zev_host;

typedef struct zev_register_info
{
    uint32_t address;      /* word address (of the first word of a memory) */
    uint32_t width;        /* bits per word: 16, 24 or 32 */
    uint32_t words;        /* 1, or a memory's word count */
    uint32_t access;       /* ZEV_ACCESS_... */
    uint32_t status;       /* 1: a write-one-to-clear status register */
    uint32_t signal_count; /* 0 for a memory */
} zev_register_info;

typedef struct zev_signal_info
{
    uint32_t low;              /* lowest bit of the field */
    uint32_t width;            /* 1 to 32 bits */
    uint32_t default_value;
    uint32_t max_value;        /* 2^width - 1 */
    uint32_t enumerator_count; /* 0 for a plain number */
} zev_signal_info;

ZEV_API uint32_t ZEV_CALL zev_abi_version(void);
/* "ZEV_OK", "ZEV_REFUSED", ...; "unknown status" for any other number. */
ZEV_API const char* ZEV_CALL zev_status_name(zev_status status);

/* ---- Devices ---- */

/* A device on the built-in simulated ZEV. No bus traffic yet: call zev_set_to_default. */
ZEV_API zev_status ZEV_CALL zev_create_simulated(zev_device** device);
/* A device on the caller's host; *host is copied, its context must outlive the device. */
ZEV_API zev_status ZEV_CALL zev_create(const zev_host* host, zev_device** device);
/* NULL is ignored. ZEV_BAD_ARGUMENT from inside any callback, or while a call on the
 * device runs: the device stays. */
ZEV_API zev_status ZEV_CALL zev_destroy(zev_device* device);

ZEV_API zev_status ZEV_CALL zev_last_error(const zev_device* device, char* text, uint32_t size, uint32_t* needed);
/* The text of the call just before on this device, if it did not fit its buffer (the call
 * returned ZEV_BUFFER_TOO_SMALL, or failed with *needed beyond the size; zev_last_error
 * between them aside); else ZEV_NOT_FOUND. */
ZEV_API zev_status ZEV_CALL zev_fetch_text(zev_device* device, char* text, uint32_t size, uint32_t* needed);
ZEV_API zev_status ZEV_CALL zev_device_identity(zev_device* device, int32_t which, char* text, uint32_t size,
                                                uint32_t* needed);

/* Reports: callbacks (replacing those of the host; NULL for none) and the log of the last
 * 1000 reports, one line each: "file:line: function: message". */
ZEV_API zev_status ZEV_CALL zev_set_report_callbacks(zev_device* device, zev_report_fn report_error,
                                                     zev_report_fn report_access_denied, void* context);
ZEV_API zev_status ZEV_CALL zev_report_count(const zev_device* device, uint32_t* count);
ZEV_API zev_status ZEV_CALL zev_reports(const zev_device* device, char* text, uint32_t size, uint32_t* needed);
ZEV_API zev_status ZEV_CALL zev_clear_reports(zev_device* device);

/* ---- Device-wide operations ---- */

ZEV_API zev_status ZEV_CALL zev_set_to_default(zev_device* device);
/* Names are exact; "ALL" or "all" stands for every register or every signal. An unknown
 * name is ZEV_NOT_FOUND, the last error naming it ("Invalid signal submitted! : NOPE"). */
ZEV_API zev_status ZEV_CALL zev_lock(zev_device* device, const char* register_name, const char* signal_name);
ZEV_API zev_status ZEV_CALL zev_unlock(zev_device* device, const char* register_name, const char* signal_name);
ZEV_API zev_status ZEV_CALL zev_lock_all(zev_device* device);
ZEV_API zev_status ZEV_CALL zev_unlock_all(zev_device* device);
/* Change-log lines of the named signals go to the device's log callback. */
ZEV_API zev_status ZEV_CALL zev_set_log_callback(zev_device* device, zev_log_fn log, void* context);
ZEV_API zev_status ZEV_CALL zev_logging(zev_device* device, const char* register_name, const char* signal_name,
                                        int32_t enable);
/* The device's snapshot script; it reads every register. */
ZEV_API zev_status ZEV_CALL zev_snapshot(zev_device* device, char* text, uint32_t size, uint32_t* needed);

/* ---- The text service by name ---- */

/* A signal's value as text, a whole register's word (signal_name ""), or memory words from
 * start on (count of them); *text_count (may be NULL) gets the number of texts. */
ZEV_API zev_status ZEV_CALL zev_service_read(zev_device* device, const char* register_name, const char* signal_name,
                                             uint32_t start, uint32_t count, char* texts, uint32_t size,
                                             uint32_t* needed, uint32_t* text_count);
/* values: the texts joined by '\n'. The signal or register ends locked; zev_unlock hands
 * it back to the application. */
ZEV_API zev_status ZEV_CALL zev_service_write(zev_device* device, const char* register_name, const char* signal_name,
                                              const char* values, uint32_t start);
/* The value as an enumerator name or a signed decimal number. */
ZEV_API zev_status ZEV_CALL zev_value_by_string(zev_device* device, const char* register_name,
                                                const char* signal_name, char* texts, uint32_t size,
                                                uint32_t* needed);

/* ---- The catalogue: registers and signals ---- */

ZEV_API zev_status ZEV_CALL zev_register_count(const zev_device* device, uint32_t* count);
/* In the device's list order, the order of every device-wide operation. Look-ups set *reg
 * or *signal to NULL when they fail. */
ZEV_API zev_status ZEV_CALL zev_register_at(zev_device* device, uint32_t index, zev_register** reg);
ZEV_API zev_status ZEV_CALL zev_register_find(zev_device* device, const char* name, zev_register** reg);
ZEV_API zev_status ZEV_CALL zev_register_name(const zev_register* reg, char* text, uint32_t size, uint32_t* needed);
ZEV_API zev_status ZEV_CALL zev_register_describe(const zev_register* reg, zev_register_info* info);

ZEV_API zev_status ZEV_CALL zev_signal_at(zev_register* reg, uint32_t index, zev_signal** signal);
ZEV_API zev_status ZEV_CALL zev_signal_find(zev_register* reg, const char* name, zev_signal** signal);
/* Register and signal by name in one step. */
ZEV_API zev_status ZEV_CALL zev_signal_lookup(zev_device* device, const char* register_name,
                                              const char* signal_name, zev_signal** signal);
ZEV_API zev_status ZEV_CALL zev_signal_name(const zev_signal* signal, char* text, uint32_t size, uint32_t* needed);
ZEV_API zev_status ZEV_CALL zev_signal_describe(const zev_signal* signal, zev_signal_info* info);
/* Enumerators in ascending value order. */
ZEV_API zev_status ZEV_CALL zev_signal_enumerator(const zev_signal* signal, uint32_t index, uint32_t* value,
                                                  char* name, uint32_t size, uint32_t* needed);
ZEV_API zev_status ZEV_CALL zev_signal_enumerator_value(const zev_signal* signal, const char* name, uint32_t* value);

/* ---- Typed access ---- */

/* The field's value; read_hw non-zero reads the register from the device first. A locked
 * signal gives the application's value. ZEV_REFUSED when the library reported (a refused
 * read, a read-back never ready): *value is what the library answered. */
ZEV_API zev_status ZEV_CALL zev_signal_get(const zev_signal* signal, int32_t read_hw, uint32_t* value);
/* value from 0 to the field's maximum, named by an enumerator or not, and a mode of the three
 * (else ZEV_BAD_ARGUMENT, nothing changes). *written (may be NULL): 1 when the register was
 * written to the device. A locked signal ignores the value (written 0). A write refused for
 * its direction (a read-only register) is ZEV_REFUSED, written 0. */
ZEV_API zev_status ZEV_CALL zev_signal_set(zev_signal* signal, uint32_t value, int32_t mode, int32_t* written);
ZEV_API zev_status ZEV_CALL zev_signal_lock_state(const zev_signal* signal, uint32_t* state);

/* ---- Whole registers and memories ---- */

/* The register's words read from the device now, count of them from start on (of a memory
 * only those words move); a one-word register has word 0 only. The application's words and
 * every lock stay. */
ZEV_API zev_status ZEV_CALL zev_register_read(zev_register* reg, uint32_t start, uint32_t count, uint32_t* words);
/* Words from start on, written as the text service writes them: the register ends locked. */
ZEV_API zev_status ZEV_CALL zev_register_write(zev_register* reg, uint32_t start, uint32_t count,
                                               const uint32_t* words);
/* *written (may be NULL): 1 when the register was written (a read-only one: ZEV_REFUSED). */
ZEV_API zev_status ZEV_CALL zev_register_set_to_default(zev_register* reg, int32_t* written);
ZEV_API zev_status ZEV_CALL zev_register_lock_state(const zev_register* reg, uint32_t* state);

/* A memory's block: get reads it from the device first when read_hw is non-zero (*read:
 * 1 when it did); set writes only a block that changes the device's words (*written). A
 * range beyond the memory is ZEV_BAD_ARGUMENT. Lock a memory with zev_lock(device, name,
 * "ALL"). */
ZEV_API zev_status ZEV_CALL zev_memory_get(zev_register* reg, uint32_t start, uint32_t count, int32_t read_hw,
                                           uint32_t* words, int32_t* read);
ZEV_API zev_status ZEV_CALL zev_memory_set(zev_register* reg, uint32_t start, uint32_t count, const uint32_t* words,
                                           int32_t* written);

/* ---- The simulated ZEV (ZEV_BAD_ARGUMENT on a device of the caller's host) ---- */

/* The device's own word at an address, without a transfer; poke changes it as the device would. */
ZEV_API zev_status ZEV_CALL zev_sim_peek(const zev_device* device, uint32_t address, uint32_t* word);
ZEV_API zev_status ZEV_CALL zev_sim_poke(zev_device* device, uint32_t address, uint32_t word);
/* The n-th bus read from now fails (n > 0), every read fails (n < 0), none (0). */
ZEV_API zev_status ZEV_CALL zev_sim_fail_reads(zev_device* device, int32_t n);
/* The read-back path's ready bit shows at this poll; 0: never. */
ZEV_API zev_status ZEV_CALL zev_sim_ready_after(zev_device* device, uint32_t polls);

#ifdef __cplusplus
}
#endif

#endif /* RL_ZEV_C_H */
