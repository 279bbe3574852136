"""What a test ran on, recorded beside its figures: the host, its kernel and
boot, the file system under the target and its mount (from
/proc/self/mountinfo, and for NFS /proc/self/mountstats), the block device
under it and its queue, the kernel's write-back settings, memory, processors,
and the programs' versions. describe() reads it on a client; what cannot be
read is "unknown", never a failure. checked() takes a description that came
from elsewhere (a client, a folder), its fields strings of bounded length;
lines() words it for a report, whose printer escapes it. The comparisons use
merged(), mixed() and differences()."""

import os
import re
import shutil
import stat

from . import VERSION

UNKNOWN = "unknown"
# The longest text a field may hold; a longer one is cut on the client and refused from elsewhere.
LONGEST = 256
# Each field and how a report names it, in the order a report gives them.
FIELDS = {
    "host": "host name", "kernel": "kernel", "boot_id": "boot id", "mount_point": "mount point",
    "fs_type": "file system", "mount_source": "mount source", "mount_options": "mount options",
    "nfs_version": "NFS version", "nfs_rsize": "NFS rsize", "nfs_wsize": "NFS wsize", "nfs_proto": "NFS proto",
    "nfs_server": "NFS server", "device": "device", "device_number": "device number", "device_model": "device model",
    "device_serial": "device serial", "rotational": "rotational", "scheduler": "scheduler",
    "nr_requests": "nr_requests", "read_ahead_kb": "read_ahead_kb", "logical_block_size": "logical block size",
    "physical_block_size": "physical block size", "dirty_ratio": "dirty_ratio", "dirty_bytes": "dirty_bytes",
    "dirty_background_ratio": "dirty_background_ratio", "dirty_background_bytes": "dirty_background_bytes",
    "mem_total": "MemTotal", "cpu_model": "CPU model", "cpu_count": "CPUs", "cpufreq_governor": "cpufreq governor",
    "tools_version": "dorvik-clients version", "dorvik_sha256": "dorvik's build (sha256)"}
# The fields in which the runs of one side of a comparison must agree (--allow-mixed lets one differ).
SIDE_FIELDS = ("kernel", "fs_type", "mount_options", "nfs_version", "nfs_rsize", "nfs_wsize", "nfs_proto",
               "nfs_server", "device_model", "tools_version", "dorvik_sha256")
# The fields that differ from boot to boot whatever was measured: never named as a difference of the sides.
UNCOMPARED = ("boot_id",)
# The fields that tell machines alike apart: a report's text groups hosts alike but in these (JSON has them).
PER_MACHINE = ("host", "boot_id", "device_serial")
MOUNTINFO = "/proc/self/mountinfo"
MOUNTSTATS = "/proc/self/mountstats"
ESCAPE = re.compile(r"\\([0-7]{3})")


def read_line(path):
    """A file's first line, stripped, or UNKNOWN where it cannot be read or is empty."""
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            line = f.readline(LONGEST + 1).strip()
    except OSError:
        return UNKNOWN
    return line or UNKNOWN


def unescaped(text):
    """A field of mountinfo or mountstats with its octal escapes (\\040 for a space) undone."""
    return ESCAPE.sub(lambda m: chr(int(m.group(1), 8)), text)


def within(path, mount_point):
    return mount_point == "/" or path == mount_point or path.startswith(mount_point + "/")


def mount_of(path):
    """The mount that holds a path (the longest mount point it lies under, the last mounted there):
    its point as the kernel writes it, and its fields."""
    try:
        with open(MOUNTINFO, encoding="utf-8", errors="surrogateescape") as f:
            lines = f.read().splitlines()
    except OSError:
        return None, {}
    found, length, fields = None, -1, {}
    for line in lines:
        words = line.split(" ")
        if len(words) < 10 or "-" not in words[6:]:
            continue
        point = unescaped(words[4])
        rest = words[words.index("-", 6) + 1:]
        if within(path, point) and len(point) >= length and len(rest) >= 3:
            options = words[5].split(",")
            options += [o for o in rest[2].split(",") if o not in options]
            found, length = words[4], len(point)
            fields = {"mount_point": point, "fs_type": rest[0], "mount_source": unescaped(rest[1]),
                      "mount_options": unescaped(",".join(options))}
    return found, fields


def nfs_of(kernel_point):
    """An NFS mount's version, rsize, wsize, proto and server, from its entry in /proc/self/mountstats."""
    try:
        with open(MOUNTSTATS, encoding="utf-8", errors="surrogateescape") as f:
            text = f.read()
    except OSError:
        return {}
    entry = re.search(r"^device (\S+) mounted on " + re.escape(kernel_point) + r" with fstype nfs\S*.*\n"
                      r"(?:\t[^\n]*\n)*?\topts:\t(\S*)", text, re.MULTILINE)
    if entry is None:
        return {}
    options = dict(o.partition("=")[::2] for o in entry.group(2).split(","))
    source = unescaped(entry.group(1))
    found = {"nfs_server": source.rpartition(":/")[0] or source}
    for field, key in (("nfs_version", "vers"), ("nfs_rsize", "rsize"), ("nfs_wsize", "wsize"), ("nfs_proto", "proto")):
        if options.get(key):
            found[field] = options[key]
    return found


def active_scheduler(text):
    """The scheduler a queue uses, the one in brackets in its list."""
    chosen = re.search(r"\[(\S+)\]", text)
    return chosen.group(1) if chosen else text


def device_of(number):
    """The block device of a device number: its name, model, serial and queue; a partition's queue
    and model are its disk's."""
    folder = f"/sys/dev/block/{os.major(number)}:{os.minor(number)}"
    found = {"device_number": f"{os.major(number)}:{os.minor(number)}"}
    if not os.path.isdir(folder):
        return found
    uevent = {}
    try:
        with open(os.path.join(folder, "uevent"), encoding="utf-8", errors="replace") as f:
            uevent = dict(line.strip().partition("=")[::2] for line in f)
    except OSError:
        pass
    found["device"] = uevent.get("DEVNAME") or UNKNOWN
    disk = os.path.realpath(folder)
    if os.path.exists(os.path.join(disk, "partition")):
        disk = os.path.dirname(disk)
    found.update(device_model=read_line(os.path.join(disk, "device", "model")),
                 device_serial=read_line(os.path.join(disk, "device", "serial")),
                 scheduler=active_scheduler(read_line(os.path.join(disk, "queue", "scheduler"))))
    for field in ("rotational", "nr_requests", "read_ahead_kb", "logical_block_size", "physical_block_size"):
        found[field] = read_line(os.path.join(disk, "queue", field))
    return found


def first_value(path, key):
    """The value of the first line of a file of "key: value" lines (/proc/meminfo, /proc/cpuinfo) with that key."""
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            for line in f:
                name, colon, value = line.partition(":")
                if colon and name.strip() == key:
                    return " ".join(value.split()) or UNKNOWN
    except OSError:
        pass
    return UNKNOWN


def program_digest(program):
    """The first 16 hex digits of the sha256 of the program that runs the tests, found as the shell would."""
    path = shutil.which(program) if program else None
    if path is None:
        return UNKNOWN
    # Imported here: a client, which reads its environment once, says hello without waiting for it.
    import hashlib
    digest = hashlib.sha256()
    try:
        with open(path, "rb") as f:
            for block in iter(lambda: f.read(1 << 20), b""):
                digest.update(block)
    except OSError:
        return UNKNOWN
    return digest.hexdigest()[:16]


def target_fields(target):
    """The mount and the device under a test's target: a file's folder, or the device (or image) it tests."""
    try:
        status = os.stat(target)
    except (OSError, TypeError, ValueError):
        return {}
    if stat.S_ISBLK(status.st_mode):
        return device_of(status.st_rdev)
    found = device_of(status.st_dev)
    kernel_point, mount = mount_of(os.path.realpath(target))
    found.update(mount)
    if kernel_point is not None and mount["fs_type"].startswith("nfs"):
        found.update(nfs_of(kernel_point))
    return found


def describe(target, program):
    """The environment of a test on target (None where it has none) run by program: every field, each a
    text of at most LONGEST characters, UNKNOWN where it cannot be read."""
    found = dict.fromkeys(FIELDS, UNKNOWN)
    system = os.uname()
    found.update(host=system.nodename, kernel=system.release, boot_id=read_line("/proc/sys/kernel/random/boot_id"))
    found.update(target_fields(target))
    for field in ("dirty_ratio", "dirty_bytes", "dirty_background_ratio", "dirty_background_bytes"):
        found[field] = read_line(f"/proc/sys/vm/{field}")
    found.update(mem_total=first_value("/proc/meminfo", "MemTotal"), cpu_model=first_value("/proc/cpuinfo", "model name"),
                 cpu_count=str(os.cpu_count() or UNKNOWN),
                 cpufreq_governor=read_line("/sys/devices/system/cpu/cpu0/cpufreq/scaling_governor"),
                 tools_version=VERSION, dorvik_sha256=program_digest(program))
    return {field: (str(value) or UNKNOWN)[:LONGEST] for field, value in found.items()}


def checked(value):
    """A description that came from a client or a folder, every field a text of at most LONGEST characters
    (a field it lacks is UNKNOWN, one it has beyond FIELDS is dropped); ValueError for anything else."""
    if not isinstance(value, dict):
        raise ValueError("an environment that is not described field by field")
    for field in FIELDS:
        text = value.get(field, UNKNOWN)
        if not isinstance(text, str) or len(text) > LONGEST:
            raise ValueError(f"an environment's {field} that is not a text of at most {LONGEST} characters")
    return {field: value.get(field, UNKNOWN) for field in FIELDS}


def device_words(found):
    """The device under the target, in words."""
    words = f"device {found['device']} ({found['device_number']}), model {found['device_model']}, " \
        f"rotational {found['rotational']}, scheduler {found['scheduler']}, " \
        f"nr_requests {found['nr_requests']}, read_ahead_kb {found['read_ahead_kb']}, blocks " \
        f"{found['logical_block_size']} logical, {found['physical_block_size']} physical"
    return words


def lines(found):
    """A description in words, a line per part, not yet escaped: the kernel, the file system and its
    mount, NFS, the device, the machine, the programs; what tells machines alike apart is left out."""
    said = [f"kernel {found['kernel']}, {found['fs_type']} from {found['mount_source']} at {found['mount_point']}, options "
            f"{found['mount_options']}"]
    if found["fs_type"].startswith("nfs"):
        said.append(f"NFS version {found['nfs_version']}, rsize {found['nfs_rsize']}, wsize {found['nfs_wsize']}, "
                    f"proto {found['nfs_proto']}, server {found['nfs_server']}")
    said += [device_words(found),
             f"MemTotal {found['mem_total']}, {found['cpu_count']} CPUs {found['cpu_model']}, cpufreq governor "
             f"{found['cpufreq_governor']}, dirty_ratio {found['dirty_ratio']}, dirty_bytes {found['dirty_bytes']}, "
             f"dirty_background_ratio {found['dirty_background_ratio']}, dirty_background_bytes "
             f"{found['dirty_background_bytes']}",
             f"dorvik-clients {found['tools_version']}, dorvik sha256 {found['dorvik_sha256']}"]
    return said


def grouped(hosts):
    """Hosts (name, description) grouped by what they ran on, alike but in what tells machines apart:
    (names, description)."""
    groups = {}
    for name, found in hosts:
        key = tuple(value for field, value in found.items() if field not in PER_MACHINE)
        groups.setdefault(key, ([], found))[0].append(name)
    return list(groups.values())


def merged(descriptions):
    """A run's environment from its hosts' descriptions: per field the distinct values, in order; None
    where no host described one."""
    described = [found for found in descriptions if found is not None]
    if not described:
        return None
    return {field: tuple(sorted({found[field] for found in described})) for field in FIELDS}


def shown(values):
    return " + ".join(values)


def mixed(runs, allowed):
    """Where the runs of one side (source, merged environment) differ in a field that must agree and is
    not allowed to: (field, {value: [sources]})."""
    found = []
    for field in SIDE_FIELDS:
        if field in allowed:
            continue
        values = {}
        for source, environment in runs:
            if environment is not None:
                values.setdefault(shown(environment[field]), []).append(source)
        if len(values) > 1:
            found.append((field, values))
    return found


def side_values(runs, field):
    return sorted({shown(environment[field]) for _, environment in runs if environment is not None})


def differences(old, new):
    """Every field in which the sides' runs (source, merged environment) differ: (field, old values,
    new values); none where a side has no environment."""
    if not any(e for _, e in old) or not any(e for _, e in new):
        return []
    found = []
    for field in FIELDS:
        if field in UNCOMPARED:
            continue
        before, after = side_values(old, field), side_values(new, field)
        if before != after:
            found.append((field, before, after))
    return found


def difference_words(field, before, after):
    """A difference of the sides in words: "mount options data=ordered → data=journal". Options named
    only where each side has one value, and only those that differ."""
    if field == "mount_options" and len(before) == len(after) == 1:
        old_options, new_options = before[0].split(","), after[0].split(",")
        gone = [o for o in old_options if o not in new_options]
        came = [o for o in new_options if o not in old_options]
        before, after = [",".join(gone) or "(none)"], [",".join(came) or "(none)"]
    return f"{FIELDS[field]} {' or '.join(before)} → {' or '.join(after)}"
