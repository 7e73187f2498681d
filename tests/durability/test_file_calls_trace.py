"""Nothing of the update engine reaches the file system around its one
file-system module (update/disk/FileCalls.h).

Each operation of the fault sweep runs once under Wine's relay trace
(WINEDEBUG=+relay), which logs every call into a system library with its
return address. Between the driver's two markers (the debug strings
"orvex-calls-begin" and "orvex-calls-end"), every call of a file-system
function made from the driver's own image is counted by name, and the counts
must equal the module's own counts, which the driver prints: one more direct
call anywhere in the engine, the C++ runtime's std::filesystem included,
makes them differ.
"""
import re
import struct
import subprocess

import pytest

import test_fault_sweep as sweep
from fixtures import Driver
from harness import drop_proxy_settings

# File-system functions, taken broadly: Win32, the native layer and the C
# runtime's file functions.
FILE_SYSTEM = re.compile(
    r"^(Create(File|Directory|HardLink|SymbolicLink)\w*|(Move|Copy|Replace)File\w*|DeleteFile\w*|RemoveDirectory\w*"
    r"|Find(First|Next)\w*|FindClose|Get\w*File\w*|Set\w*File\w*|ReadFile\w*|WriteFile\w*|FlushFileBuffers"
    r"|GetDiskFreeSpace\w*|\w*PrivateProfile\w*|\w*ProfileString\w*|\w*ProfileInt\w*|(Lock|Unlock)File\w*"
    r"|OpenFile\w*|DeviceIoControl|_l(open|creat|read|write)"
    r"|Nt\w*File\w*|Zw\w*File\w*|NtQueryAttributesFile|NtQueryFullAttributesFile"
    r"|_?w?(open|fopen|sopen\w*|fsopen|stat\w*|access\w*|unlink|remove|rename|mkdir|rmdir|chmod|utime\w*"
    r"|findfirst\w*|findnext\w*|fullpath|chdir|creat))$")
# Names the pattern takes in that touch no file: the process's own module
# name, conversions between time formats, the code page of the file calls.
NOT_FILE_SYSTEM = re.compile(r"^(GetModuleFileName\w*|GetSystemTimeAsFileTime|GetSystemTimePreciseAsFileTime"
                             r"|\w*FileTimeTo\w*|\w*ToFileTime|SetFileApisTo\w*|_?w?fullpath)$")
# Calls the module makes for every handle it owns but that other handles
# (threads, events) share; a file handle's close cannot bypass the module
# unnoticed by the other counts.
UNCOMPARED = {"CloseHandle"}

RELAY_KEY = r"HKCU\Software\Wine\Debug"
# Calls that unwind C++ exceptions must run unrelayed: the relay thunk's
# frame stops the unwinder, and the first exception that passes a clean-up
# ends the process.
RELAY_EXCLUDE = ("ntdll.RtlEnterCriticalSection;ntdll.RtlLeaveCriticalSection;KERNEL32.RaiseException;"
                 "KERNELBASE.RaiseException;ntdll.RtlRaiseException;ntdll.RtlUnwindEx;ntdll.RtlUnwind;"
                 "ntdll.RtlVirtualUnwind;ntdll.RtlLookupFunctionEntry;ntdll.RtlCaptureContext")
CALL = re.compile(r"^[0-9a-f]+:Call ([\w.]+)\.(\w+)\(.*\) ret=([0-9a-f]+)$")


def image_range(exe):
    """(base, end) of the executable's image as its PE header gives them."""
    data = exe.read_bytes()[:4096]
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    optional = pe + 24
    assert struct.unpack_from("<H", data, optional)[0] == 0x20B  # PE32+
    base = struct.unpack_from("<Q", data, optional + 24)[0]
    size = struct.unpack_from("<I", data, optional + 56)[0]
    return base, base + size


def traced_counts(trace, image):
    """name -> calls of file-system functions from the image between the markers."""
    counts, inside = {}, False
    for line in trace.splitlines():
        if "orvex-calls-begin" in line:
            inside = True
            continue
        if "orvex-calls-end" in line:
            return counts
        match = CALL.match(line)
        if not inside or not match:
            continue
        _, name, ret = match.groups()
        if not image[0] <= int(ret, 16) < image[1] or not FILE_SYSTEM.match(name) or NOT_FILE_SYSTEM.match(name):
            continue
        counts[name] = counts.get(name, 0) + 1
    raise AssertionError("the trace has no end marker: the command did not finish")


def module_counts(lines):
    found = [line for line in lines if line.startswith("CALLS: ")]
    assert found, lines
    return {name: int(count) for name, count in (item.split("=") for item in found[-1].split()[2:])}


@pytest.fixture(scope="module")
def relay(tmp_path_factory):
    """A driver whose runs are traced: the relay keys set in the prefix for
    the module's tests and put back afterwards."""
    drop_proxy_settings()
    driver = Driver()
    query = subprocess.run(["wine", "reg", "query", RELAY_KEY, "/v", "RelayExclude"], env=driver.env,
                           capture_output=True, text=True)
    previous = re.search(r"RelayExclude\s+REG_SZ\s+(.*)", query.stdout)
    subprocess.run(["wine", "reg", "add", RELAY_KEY, "/v", "RelayExclude", "/t", "REG_SZ", "/d", RELAY_EXCLUDE,
                    "/f"], env=driver.env, check=True, capture_output=True)
    try:
        yield driver, sweep.Scenarios(driver, tmp_path_factory.mktemp("trace"))
    finally:
        if previous:
            subprocess.run(["wine", "reg", "add", RELAY_KEY, "/v", "RelayExclude", "/t", "REG_SZ", "/d",
                            previous.group(1).strip(), "/f"], env=driver.env, capture_output=True)
        else:
            subprocess.run(["wine", "reg", "delete", RELAY_KEY, "/v", "RelayExclude", "/f"], env=driver.env,
                           capture_output=True)


@pytest.mark.parametrize("name", sweep.SCENARIO_NAMES)
def test_every_file_system_call_passes_the_module(relay, tmp_path, name):
    driver, scenarios = relay
    operation = sweep.make(scenarios, name, tmp_path)
    client = operation.make_client(tmp_path / "client")
    env = dict(driver.env, WINEDEBUG="+relay")
    with operation.around(None):
        result = subprocess.run(["wine", str(driver.exe), *map(str, operation.operation(client)),
                                 *operation.threads, "--count-calls"], env=env, stdin=subprocess.DEVNULL,
                                capture_output=True, timeout=600)
    lines = result.stdout.decode("utf-8", "replace").splitlines()
    assert lines and (lines[-1] == "OK" or lines[-1].startswith("OK: ")), lines
    mine = {n: c for n, c in module_counts(lines).items() if n not in UNCOMPARED}
    traced = traced_counts(result.stderr.decode("utf-8", "replace"), image_range(driver.exe))
    print(f"{name}: module {sum(mine.values())} calls, trace {sum(traced.values())}: {traced}")
    assert traced == mine, f"trace {traced}\nmodule {mine}"
