# SPDX-License-Identifier: MIT
"""check_kalpex as Nagios-family monitoring runs it: Debian's Nagios 4 runs
the shipped NRPE command through check_nrpe against Debian's NRPE server on
127.0.0.1 (on render nodes made in a private mount namespace), and records
OK, WARNING, CRITICAL and UNKNOWN for a hardware pass, a software pass, a
failure and a missing kalpex; Icinga 2 validates the shipped CheckCommand."""
import os
import pwd
import re
import shutil
import subprocess
import tempfile
import time
import unittest

from harness import (KALPEX, STANDIN_DIR, free_port, main, namespace, namespace_problem, reachable, runnable,
                     stop_daemon, wait_for)

SOURCE = os.environ["KALPEX_SOURCE_DIR"]
NAGIOS_CONTRIB = os.path.join(SOURCE, "contrib", "nagios")
# The adapter under the plugin's name, as the build links it.
PLUGIN = os.path.join(os.path.dirname(os.path.abspath(os.environ["KALPEX_MONITOR_BIN"])), "check_kalpex")
CHECK_NRPE = "/usr/lib/nagios/plugins/check_nrpe"
SERVICE = "GPU rendering"

# (case, what kalpex meets: shell words the stand-in kalpex exports, or
#  None for no kalpex at all; the state Nagios records; the plugin's output)
CASES = [
    ("hardware pass", "LD_LIBRARY_PATH={standin}", 0,
     [r"KALPEX OK - kalpex: PASS \(HARDWARE\) on /dev/dri/renderD128",
      r"kalpex: PASS \(HARDWARE\) on /dev/dri/renderD129"]),
    ("software pass", "", 1,
     [r"KALPEX WARNING - kalpex: PASS \(SOFTWARE fallback\) on /dev/dri/renderD128",
      r"kalpex: PASS \(SOFTWARE fallback\) on /dev/dri/renderD129"]),
    ("failure", "LD_LIBRARY_PATH={standin} STANDIN_FAIL=eglInitialize STANDIN_ONLY_ON=/dev/dri/renderD129", 2,
     [r"KALPEX CRITICAL - kalpex: FAIL eglInitialize \(renderer: \(none\), eglError 0x3000\) on /dev/dri/renderD129",
      r"kalpex: PASS \(HARDWARE\) on /dev/dri/renderD128"]),
    ("missing kalpex", None, 3,
     [r"KALPEX UNKNOWN - kalpex: UNKNOWN cannot run {kalpex}: No such file or directory on /dev/dri/renderD128",
      r"kalpex: UNKNOWN cannot run {kalpex}: No such file or directory on /dev/dri/renderD129"]),
]


def status_of(status_file, host, service):
    """What Nagios's status file records of a service, as a dict."""
    with open(status_file, encoding="utf-8", errors="replace") as file:
        for block in re.findall(r"servicestatus \{\n(.*?)\n\s*\}", file.read(), re.S):
            fields = dict(line.strip().split("=", 1) for line in block.splitlines() if "=" in line)
            if fields.get("host_name") == host and fields.get("service_description") == service:
                return fields
    return {}


class Nagios(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if os.geteuid() != 0:
            raise unittest.SkipTest("needs root to run Nagios and NRPE as the nagios user")
        missing = [program for program in ("nagios4", "nrpe", CHECK_NRPE)
                   if not shutil.which(program, path="/usr/sbin:/usr/bin")]
        if missing:
            raise unittest.SkipTest(f"needs Debian's nagios4, nagios-nrpe-server and nagios-nrpe-plugin: "
                                    f"no {', '.join(missing)}")
        problem = namespace_problem()
        if problem:
            raise unittest.SkipTest(problem)
        nagios = pwd.getpwnam("nagios")
        cls.folder = folder = tempfile.mkdtemp()
        cls.addClassCleanup(shutil.rmtree, folder)
        for sub in ("", "checkresults", "plugins"):
            os.makedirs(os.path.join(folder, sub), exist_ok=True)
            os.chown(os.path.join(folder, sub), nagios.pw_uid, nagios.pw_gid)
            os.chmod(os.path.join(folder, sub), 0o755)
        os.mkdir(os.path.join(folder, "ns"))
        # NRPE gives commands a clean environment: the plugin the shipped
        # command names is here a script that names the stand-in kalpex,
        # which takes what it meets from a file the tests write.
        cls.case_file = os.path.join(folder, "case")
        cls.kalpex = os.path.join(folder, "kalpex")
        cls.write(cls.kalpex, f'#!/bin/sh\n. {cls.case_file}\nexec {runnable(reachable(KALPEX))} "$@"\n')
        plugin = os.path.join(folder, "plugins", "check_kalpex")
        # GBM's path alone, as the suite's cases are written.
        cls.write(plugin, f'#!/bin/sh\nKALPEX={cls.kalpex} KALPEX_APIS=gbm exec {runnable(reachable(PLUGIN))} "$@"\n')
        with open(os.path.join(NAGIOS_CONTRIB, "nrpe-kalpex.cfg"), encoding="utf-8") as shipped:
            command = shipped.read().replace("/usr/lib/nagios/plugins/check_kalpex", plugin)
        port = free_port()
        cls.write(os.path.join(folder, "nrpe.cfg"), f"""server_port={port}
server_address=127.0.0.1
allowed_hosts=127.0.0.1
nrpe_user=nagios
nrpe_group=nagios
pid_file={folder}/nrpe.pid
command_timeout=60
{command}""")
        cls.write(os.path.join(folder, "objects.cfg"), OBJECTS.format(check_nrpe=CHECK_NRPE, port=port,
                                                                      service=SERVICE))
        cls.write(os.path.join(folder, "nagios.cfg"), MAIN_CONFIG.format(folder=folder))
        cls.status_file = os.path.join(folder, "status.dat")

        for pid_file in ("nrpe.pid", "nagios.pid"):
            cls.addClassCleanup(stop_daemon, os.path.join(folder, pid_file))
        verify = subprocess.run(["nagios4", "-v", f"{folder}/nagios.cfg"], capture_output=True, text=True)
        if verify.returncode:
            raise AssertionError(verify.stdout + verify.stderr)
        subprocess.run([*namespace(f"{folder}/ns"), "sh", "-c",
                        f"nrpe -c {folder}/nrpe.cfg -d && nagios4 -d {folder}/nagios.cfg"],
                       env={**os.environ, "NODES": "renderD128 renderD129"}, check=True, timeout=60)
        wait_for("Nagios started", lambda: os.path.exists(f"{folder}/nagios.cmd")
                 and status_of(cls.status_file, "gpu1", SERVICE))

    @staticmethod
    def write(path, text):
        with open(path, "w", encoding="utf-8") as file:
            file.write(text)
        os.chmod(path, 0o755)

    def check_now(self):
        """Has Nagios check the service now; yields what it then records."""
        asked = int(time.time())
        with open(f"{self.folder}/nagios.cmd", "w", encoding="utf-8") as pipe:
            pipe.write(f"[{asked}] SCHEDULE_FORCED_SVC_CHECK;gpu1;{SERVICE};{asked}\n")

        def checked():
            status = status_of(self.status_file, "gpu1", SERVICE)
            return status if int(status.get("last_check", 0)) >= asked and status.get("has_been_checked") == "1" else None

        return wait_for("check of the service", checked, 60)

    def test_nagios_records_each_state(self):
        for case, meets, state, output in CASES:
            with self.subTest(case=case):
                if meets is None:
                    os.rename(self.kalpex, self.kalpex + ".away")
                    self.addCleanup(os.rename, self.kalpex + ".away", self.kalpex)
                else:
                    self.write(self.case_file, f"export {meets.format(standin=reachable(STANDIN_DIR))} "
                                               "KALPEX_CASE=1\n")
                status = self.check_now()
                lines = [status["plugin_output"], *status["long_plugin_output"].split("\\n")]
                print(f"{case}: Nagios state {status['current_state']}: "
                      f"{status['plugin_output']} | {status['performance_data']}")
                self.assertEqual(int(status["current_state"]), state)
                self.assertEqual(len(lines), len(output), lines)
                for line, pattern in zip(lines, output):
                    self.assertRegex(line, f"^{pattern.format(kalpex=re.escape(self.kalpex))}$")
                # Each node's time in seconds, and the render nodes found.
                performance = {label.strip("'"): value.split(";")[0] for label, value in
                               re.findall(r"('[^']*'|[^ =]+)=([^ ]+)", status["performance_data"])}
                # A check whose kalpex never ran has no time to give.
                timed = [] if state == 3 else ["/dev/dri/renderD128", "/dev/dri/renderD129"]
                self.assertEqual(sorted(performance), [*timed, "gpus", "render_nodes"])
                for node in timed:
                    self.assertRegex(performance[node], r"^[0-9]+\.[0-9]{3}s$")
                self.assertEqual(performance["render_nodes"], "2")


class Icinga(unittest.TestCase):
    def test_check_command_validates(self):
        if not shutil.which("icinga2", path="/usr/sbin:/usr/bin"):
            self.skipTest("needs Debian's icinga2-bin")
        with tempfile.TemporaryDirectory() as folder:
            # icinga2 reads the files as its own user, which may not reach the checkout.
            os.chmod(folder, 0o755)
            command = shutil.copy(os.path.join(NAGIOS_CONTRIB, "icinga2-kalpex.conf"), folder)
            config = os.path.join(folder, "icinga2.conf")
            with open(config, "w", encoding="utf-8") as file:
                file.write(ICINGA_CONFIG.format(command=command))
            done = subprocess.run(["icinga2", "daemon", "-C", "-c", config], capture_output=True, text=True,
                                  timeout=120)
            self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
            self.assertIn("Instantiated 1 Service.", done.stdout)


MAIN_CONFIG = """log_file={folder}/nagios.log
cfg_file={folder}/objects.cfg
object_cache_file={folder}/objects.cache
precached_object_file={folder}/objects.precache
status_file={folder}/status.dat
status_update_interval=1
nagios_user=nagios
nagios_group=nagios
check_external_commands=1
command_file={folder}/nagios.cmd
lock_file={folder}/nagios.pid
temp_file={folder}/nagios.tmp
temp_path={folder}
check_result_path={folder}/checkresults
check_result_reaper_frequency=1
retain_state_information=0
interval_length=1
enable_notifications=0
use_syslog=0
"""

# One machine whose GPU rendering is checked through NRPE, as the README
# has it, and nothing else.
OBJECTS = """define timeperiod {{
    timeperiod_name always
    alias always
    sunday 00:00-24:00
    monday 00:00-24:00
    tuesday 00:00-24:00
    wednesday 00:00-24:00
    thursday 00:00-24:00
    friday 00:00-24:00
    saturday 00:00-24:00
}}
define command {{
    command_name nothing
    command_line /bin/true
}}
define command {{
    command_name check_nrpe
    command_line {check_nrpe} -H $HOSTADDRESS$ -p {port} -t 30 -c $ARG1$
}}
define contact {{
    contact_name nobody
    host_notifications_enabled 0
    service_notifications_enabled 0
    host_notification_period always
    service_notification_period always
    host_notification_options n
    service_notification_options n
    host_notification_commands nothing
    service_notification_commands nothing
}}
define host {{
    host_name gpu1
    address 127.0.0.1
    check_command nothing
    max_check_attempts 1
    check_period always
    contacts nobody
    notification_period always
}}
define service {{
    host_name gpu1
    service_description {service}
    check_command check_nrpe!check_kalpex
    max_check_attempts 1
    check_interval 3600
    retry_interval 3600
    check_period always
    contacts nobody
    notification_period always
}}
"""

ICINGA_CONFIG = """const PluginDir = "/usr/lib/nagios/plugins"
include <itl>
include <plugins>
include "{command}"
object Host "gpu1" {{
  check_command = "dummy"
  address = "127.0.0.1"
}}
object Service "gpu-rendering" {{
  host_name = "gpu1"
  check_command = "kalpex"
  vars.kalpex_timeout = 10
  vars.kalpex_expect = 8
  vars.kalpex_require_hw = true
  vars.kalpex_nodes = [ "/dev/dri/renderD128", "/dev/dri/renderD129" ]
}}
"""

if __name__ == "__main__":
    main()
