"""LibreOffice Calc started for one job, with a profile of its own, and
driven through its own API (python3-uno): the tests read workbooks in it
headless, the demo shows one in its window. The user's own LibreOffice
profile is never touched."""
import os
import shutil
import subprocess
import tempfile
import time

import uno
from com.sun.star.beans import PropertyValue
from com.sun.star.connection import NoConnectException

# A first start of a new profile would greet the user (tip of the day, what's
# new); the profile starts as one that has seen that already.
SETTLED_PROFILE = """<?xml version="1.0" encoding="UTF-8"?>
<oor:items xmlns:oor="http://openoffice.org/2001/registry" xmlns:xs="http://www.w3.org/2001/XMLSchema">
<item oor:path="/org.openoffice.Office.Common/Misc"><prop oor:name="ShowTipOfTheDay" oor:op="fuse"><value>false</value></prop></item>
<item oor:path="/org.openoffice.Office.Common/Misc"><prop oor:name="FirstRun" oor:op="fuse"><value>false</value></prop></item>
<item oor:path="/org.openoffice.Setup/Office"><prop oor:name="FirstStartWizardCompleted" oor:op="fuse"><value>true</value></prop></item>
<item oor:path="/org.openoffice.Setup/Product"><prop oor:name="ooSetupLastVersion" oor:op="fuse"><value>99.0</value></prop></item>
</oor:items>
"""


def prop(name, value):
    p = PropertyValue()
    p.Name, p.Value = name, value
    return p


class CalcSession:
    def __init__(self, headless=True, timeout=120):
        self.profile = tempfile.mkdtemp(prefix="quorvane-calc-")
        os.makedirs(os.path.join(self.profile, "user"))
        with open(os.path.join(self.profile, "user", "registrymodifications.xcu"), "w", encoding="utf-8") as f:
            f.write(SETTLED_PROFILE)
        pipe = "quorvane-calc-%d" % os.getpid()
        command = ["soffice", "--nologo", "--norestore", "--nodefault", "--nolockcheck",
                   "-env:UserInstallation=" + uno.systemPathToFileUrl(self.profile),
                   "--accept=pipe,name=%s;urp;StarOffice.ComponentContext" % pipe]
        if headless:
            command[1:1] = ["--headless", "--invisible"]
        self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        local = uno.getComponentContext()
        resolver = local.ServiceManager.createInstanceWithContext("com.sun.star.bridge.UnoUrlResolver", local)
        deadline = time.monotonic() + timeout
        while True:
            try:
                context = resolver.resolve("uno:pipe,name=%s;urp;StarOffice.ComponentContext" % pipe)
                break
            except NoConnectException:
                if self.process.poll() is not None or time.monotonic() > deadline:
                    self.close()
                    raise RuntimeError("LibreOffice Calc did not start (status %s)" % self.process.poll())
                time.sleep(0.2)
        self.desktop = context.ServiceManager.createInstanceWithContext("com.sun.star.frame.Desktop", context)

    def close(self):
        try:
            if getattr(self, "desktop", None) is not None:
                self.desktop.terminate()
        except Exception:
            pass  # it may be gone already; the process is ended below either way
        try:
            self.process.wait(30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        shutil.rmtree(self.profile, ignore_errors=True)

    def load(self, path, hidden=True):
        """Opens an .xlsx workbook. The filter is named, so a file it cannot
        read fails instead of opening as text."""
        properties = [prop("Hidden", hidden), prop("FilterName", "Calc MS Excel 2007 XML")]
        if hidden:
            properties.append(prop("ReadOnly", True))
        doc = self.desktop.loadComponentFromURL(
            uno.systemPathToFileUrl(os.path.abspath(path)), "_blank", 0, tuple(properties))
        if doc is None:
            raise RuntimeError("Calc could not open " + path)
        return doc
