#!/usr/bin/env python3
"""Makes a made-up office's saved System logs to draw evt-replay's power
timeline of.

    timeline_power_fleet.py FOLDER

Sixteen .evtx logs in FOLDER, of two weeks from Friday 5 January 2024, the
office's clock on UTC, each log saved on Friday the 19th at three in the
afternoon: desktops shut down every evening and booted every morning with
Fast Startup, one with Fast Startup off, one that sleeps overnight instead;
laptops asleep at lunch, overnight and over the weekend, some hibernating;
updates restarting the desktops on the Wednesday, one desktop crashing; a
server always on, restarted for its monthly updates. The records are those
Windows 10 and 11 write for each transition (a Windows 11 laptop resumes
from hibernation without a boot-type record). Prints, a line per log, how
many of its periods began and ended each way, as --power should count them."""
import calendar
import os
import random
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "fuzz"))
from evtx_seeds import CHUNK, CHUNK_HEADER, EPOCH, Xml, chunk, file_header, record  # noqa: E402

FIRST_DAY = calendar.timegm((2024, 1, 5, 0, 0, 0))  # a Friday
DAYS = 15
SAVED = FIRST_DAY + 14 * 86400 + 15 * 3600  # Friday the 19th, 15:00
UPDATE_DAY, CRASH_DAY = 5, 11  # Wednesday the 10th, Tuesday the 16th
SERVER_RESTART = FIRST_DAY + 9 * 86400 + 3 * 3600  # Sunday the 14th, 03:00
HOUR, MINUTE = 3600, 60

KERNEL_GENERAL = "Microsoft-Windows-Kernel-General"
KERNEL_BOOT = "Microsoft-Windows-Kernel-Boot"
KERNEL_POWER = "Microsoft-Windows-Kernel-Power"
TROUBLESHOOTER = "Microsoft-Windows-Power-Troubleshooter"
SLEEP, HIBERNATE, SHUTDOWN = 4, 5, 6  # SYSTEM_POWER_STATE
EXPLORER = "C:\\Windows\\explorer.exe"
UPDATES = "C:\\Windows\\System32\\MoUsoCoreWorker.exe"
SYSTEM = "NT AUTHORITY\\SYSTEM"
BEGAN = ["boot", "fast-startup", "resume-hibernate", "resume-sleep"]
ENDED = ["shutdown", "restart", "fast-startup", "hibernate", "sleep", "died", "running"]
# How a period begins after the one before ended so.
AFTER = {"shutdown": "boot", "restart": "boot", "died": "boot", "fast-startup": "fast-startup",
         "hibernate": "resume-hibernate", "sleep": "resume-sleep"}


def weekday(day):
    """Whether day `day` of the fortnight is a working day (the first is a Friday)."""
    return (4 + day) % 7 < 5


class Plan:
    """A machine's periods on and awake, oldest first: [start, began, end, ended, who asked]."""

    def __init__(self, rng):
        self.rng, self.periods = rng, []

    def at(self, day, hour, spread_minutes=0):
        return FIRST_DAY + day * 86400 + int(hour * HOUR) + self.rng.randrange(spread_minutes * MINUTE + 1)

    def on(self, when):
        began = AFTER[self.periods[-1][3]] if self.periods else "boot"
        self.periods.append([when, began, None, "running", None])

    def off(self, when, ended, user=None, process=EXPLORER):
        self.periods[-1][2:] = [when, ended, user and (process, user)]

    def save(self):
        self.periods[-1][2] = SAVED + self.rng.randrange(10 * MINUTE)
        return self.periods


def desktop(n, user, fast=True, sleeps=False, crash=False):
    """On through the working day, shut down (or asleep) through the night and the weekend."""
    plan = Plan(random.Random(n))
    for day in range(DAYS):
        if not weekday(day):
            continue
        plan.on(plan.at(day, 7.5, 100))
        if day == UPDATE_DAY:
            restart = plan.at(day, 12.25, 50)
            plan.off(restart, "restart", SYSTEM, UPDATES)
            plan.on(restart + plan.rng.randrange(70, 240))
        if crash and day == CRASH_DAY:
            died = plan.at(day, 14.2, 20)
            plan.off(died, "died")
            plan.on(died + plan.rng.randrange(3 * MINUTE, 9 * MINUTE))
        if day == DAYS - 1:
            break
        evening = plan.at(day, 16.75, 120)
        if sleeps:
            plan.off(evening + 30 * MINUTE, "sleep")
        else:
            plan.off(evening, "fast-startup" if fast else "shutdown", user)
    return plan.save()


def laptop(n, user, hibernates=False, evenings=False):
    """Asleep at lunch, overnight and over the weekend, now and then used at home in the
    evening; one that `hibernates` does so on Fridays and on some nights, the others
    shut down on Fridays."""
    plan = Plan(random.Random(n))
    for day in range(DAYS):
        if not weekday(day):
            continue
        plan.on(plan.at(day, 8, 90))
        if plan.rng.random() < 0.75:
            plan.off(plan.at(day, 12, 30), "sleep")
            plan.on(plan.at(day, 12.75, 40))
        if day == DAYS - 1:
            break
        friday = (4 + day) % 7 == 4
        evening = plan.at(day, 17, 90)
        if friday:
            plan.off(evening, "hibernate" if hibernates else "fast-startup", None if hibernates else user)
            continue
        plan.off(evening, "hibernate" if hibernates and plan.rng.random() < 0.5 else "sleep")
        if evenings and plan.rng.random() < 0.5:
            plan.on(plan.at(day, 20, 60))
            plan.off(plan.periods[-1][0] + plan.rng.randrange(20 * MINUTE, 100 * MINUTE), "sleep")
    return plan.save()


def server(n):
    """Always on; restarted once a month for its updates."""
    plan = Plan(random.Random(n))
    plan.on(FIRST_DAY + 6 * HOUR + 10 * MINUTE)
    plan.off(SERVER_RESTART, "restart", SYSTEM, "C:\\Windows\\servicing\\TrustedInstaller.exe")
    plan.on(SERVER_RESTART + 6 * MINUTE)
    return plan.save()


# File, computer, Windows 11 (no boot-type record on a hibernate resume), and its periods.
FLEET = [
    ("desk-01", "DESK-01", False, desktop(1, "OFFICE\\ann")),
    ("desk-02", "DESK-02", False, desktop(2, "OFFICE\\bob")),
    ("desk-03", "DESK-03", False, desktop(3, "OFFICE\\cai", crash=True)),
    ("desk-04", "DESK-04", False, desktop(4, "OFFICE\\dee")),
    ("desk-05", "DESK-05", False, desktop(5, "OFFICE\\eli", fast=False)),
    ("desk-06", "DESK-06", True, desktop(6, "OFFICE\\fay")),
    ("desk-07", "DESK-07", True, desktop(7, "OFFICE\\gus", sleeps=True)),
    ("desk-08", "DESK-08", True, desktop(8, "OFFICE\\hal")),
    ("lap-01", "LAP-01", False, laptop(11, "OFFICE\\ivy", evenings=True)),
    ("lap-02", "LAP-02", False, laptop(12, "OFFICE\\jon", hibernates=True)),
    ("lap-03", "LAP-03", True, laptop(13, "OFFICE\\kim", hibernates=True, evenings=True)),
    ("lap-04", "LAP-04", True, laptop(14, "OFFICE\\lea")),
    ("lap-05", "LAP-05", True, laptop(15, "OFFICE\\max", evenings=True)),
    ("lap-06", "LAP-06", False, laptop(16, "OFFICE\\ned")),
    ("lap-07", "LAP-07", True, laptop(17, "OFFICE\\ola", hibernates=True)),
    ("srv-01", "SRV-01", False, server(21)),
]


def iso(when):
    """A record's time as Windows writes it."""
    return time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(when)) + ".%07dZ" % (when * 7919 % 10**7)


def system_time(when):
    """A SYSTEMTIME as hex text, as a written-out Binary item holds it."""
    t = time.gmtime(when)
    return "".join("%02X%02X" % (v & 0xFF, v >> 8)
                   for v in (t.tm_year, t.tm_mon, (t.tm_wday + 1) % 7, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, 0))


def event(provider, event_id, when, host, data=(), level=4, qualifiers=None, binary=None):
    """The binary XML of an event written out, its data items (name, text) or
    unnamed texts, for a record at chunk offset `at`."""
    def item(name, value):
        attributes = [("Name", lambda x: x.text(name))] if name else []
        return lambda x: x.element("Data", attributes, [lambda x: x.text(value)] if value else None)
    items = [item(*d) if isinstance(d, tuple) else item(None, d) for d in data]
    if binary:
        items.append(lambda x: x.element("Binary", content=[lambda x: x.text(binary)]))
    text = lambda value: [lambda x: x.text(str(value))]

    def body(at):
        x = Xml(at).raw(b"\x0f\x01\x01\x00")
        x.element("Event", [("xmlns", lambda x: x.text("http://schemas.microsoft.com/win/2004/08/events/event"))], [
            lambda x: x.element("System", content=[
                lambda x: x.element("Provider", [("Name", lambda x: x.text(provider))]),
                lambda x: x.element("EventID", [("Qualifiers", lambda x: x.text(qualifiers))] if qualifiers else [],
                                    text(event_id)),
                lambda x: x.element("Level", content=text(level)),
                lambda x: x.element("Keywords", content=text("0x8000000000000000")),
                lambda x: x.element("TimeCreated", [("SystemTime", lambda x: x.text(iso(when)))]),
                lambda x: x.element("Channel", content=text("System")),
                lambda x: x.element("Computer", content=text(host)),
            ]),
            lambda x: x.element("EventData", content=items),
        ])
        return bytes(x.raw(b"\x00").b)
    return when, body


def service(event_id, when, host, data=(), level=4, binary=None):
    return event("EventLog", event_id, when, host, data, level, "32768", binary)


def returned(state, slept, woke, written, host):
    """Power-Troubleshooter 1: back from a low power state, its exact times."""
    return event(TROUBLESHOOTER, 1, written, host, [("SleepTime", iso(slept)), ("WakeTime", iso(woke)),
                                                    ("TargetState", str(state)), ("EffectiveState", str(state)),
                                                    ("WakeSourceText", "Power Button")])


def records(host, win11, periods):
    """The records a machine writes for its periods, in the order it writes them."""
    build = "22631" if win11 else "19045"
    out, before = [], None
    for start, began, end, ended, asked in periods:
        if began == "boot":
            out += [event(KERNEL_GENERAL, 12, start, host, [("MajorVersion", "10"), ("BuildVersion", build),
                                                              ("StartTime", iso(start))]),
                    event(KERNEL_BOOT, 27, start + 2, host, [("BootType", "0")]),
                    service(6009, start + 21, host, ["10.00.", build, "", "Multiprocessor Free", "0"]),
                    service(6005, start + 21, host)]
            if before and before[3] == "died":
                last = before[2]
                out += [service(6008, start + 22, host, [time.strftime("%H:%M:%S", time.gmtime(last)),
                                                         time.strftime("%d/%m/%Y", time.gmtime(last))],
                                level=2, binary=system_time(last) * 2),
                        event(KERNEL_POWER, 41, start + 30, host, [("BugcheckCode", "0"), ("SleepInProgress", "0"),
                                                                   ("PowerButtonTimestamp", "0")], level=1)]
        elif began == "fast-startup":
            out += [event(KERNEL_BOOT, 27, start + 1, host, [("BootType", "1")]),
                    returned(SHUTDOWN, before[2], start, start + 35, host)]
        elif began == "resume-hibernate":
            if not win11:
                out.append(event(KERNEL_BOOT, 27, start + 1, host, [("BootType", "2")]))
            out.append(returned(HIBERNATE, before[2], start, start + 20, host))
        else:
            # Stamped with the clock as it stopped, not the wake.
            out += [event(KERNEL_POWER, 107, before[2] + 1, host, [("TargetState", "4"), ("EffectiveState", "4")]),
                    returned(SLEEP, before[2], start, start + 4, host)]
        if asked:
            kind = "restart" if ended == "restart" else "power off"
            out.append(event("User32", 1074, end - 20, host, [("param1", "%s (%s)" % (asked[0], host)),
                                                               ("param2", host), ("param3", "Other (Unplanned)"),
                                                               ("param4", "0x0"), ("param5", kind),
                                                               ("param6", ""), ("param7", asked[1])],
                             qualifiers="32768"))
        if ended in ("shutdown", "restart"):
            out += [service(6006, end - 6, host),
                    event(KERNEL_POWER, 109, end - 1, host, [("ShutdownActionType", "5" if ended == "restart" else "6"),
                                                             ("ShutdownEventCode", "0"), ("ShutdownReason", "0")]),
                    event(KERNEL_GENERAL, 13, end, host, [("StopTime", iso(end))])]
        elif ended in ("fast-startup", "hibernate", "sleep"):
            state = {"fast-startup": SHUTDOWN, "hibernate": HIBERNATE, "sleep": SLEEP}[ended]
            out.append(event(KERNEL_POWER, 42, end - 1, host, [("TargetState", str(state)),
                                                               ("EffectiveState", str(min(state, HIBERNATE))),
                                                               ("Reason", "7"), ("Flags", "0")]))
            if ended == "hibernate" and win11:
                # Written just before it hibernates: no time passed asleep.
                out.append(returned(HIBERNATE, end, end, end, host))
        elif ended == "running":
            out.append(service(6013, end, host, [str(end - start), "", "", "", "", "60", "0 GMT Standard Time"]))
        before = (start, began, end, ended)
    return out


def evtx(events):
    """A whole .evtx log of `events` ((time, body) pairs), chunk after chunk."""
    chunks, laid, first = [], bytearray(), 1
    for number, (when, body) in enumerate(events, 1):
        written = when * 10**7 + EPOCH
        rec = record(CHUNK_HEADER + len(laid), number, written, body)
        if CHUNK_HEADER + len(laid) + len(rec) > CHUNK:
            chunks.append(chunk(laid, first, number - 1, slot=True))
            laid, first = bytearray(), number
            rec = record(CHUNK_HEADER, number, written, body)
        laid += rec
    chunks.append(chunk(laid, first, len(events), slot=True))
    return file_header(len(chunks), next_id=len(events) + 1) + b"".join(chunks)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    os.makedirs(sys.argv[1], exist_ok=True)
    for name, host, win11, periods in FLEET:
        with open(os.path.join(sys.argv[1], name + ".evtx"), "wb") as out:
            out.write(evtx(records(host, win11, periods)))
        began = [sum(p[1] == kind for p in periods) for kind in BEGAN]
        ended = [sum(p[3] == kind for p in periods) for kind in ENDED]
        print("%s.evtx\tbegan %s\tended %s" % (name, " ".join(map(str, began)), " ".join(map(str, ended))))


if __name__ == "__main__":
    main()
