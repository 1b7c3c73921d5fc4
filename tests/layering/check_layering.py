#!/usr/bin/env python3
"""Checks the project's dependency directions: which folder's code may include which
folder's headers, and which library may link which.

    check_layering.py SOURCE_DIR [LINK_GRAPH]

SOURCE_DIR is the repository. LINK_GRAPH is the file the CMake configure step writes (one
line per library: `target: linked target, ...`). Every violation is printed as
`file:line: <component> includes <header> of <component>` or `link: ...`; the exit status
is 1 when there is any.

The graph below is the architecture's; when it changes, change it here and in the
architecture documents together.
"""
import os
import re
import sys

# Components, most specific first: a file belongs to the first whose folder holds it. A
# testing/ folder is test code of the component that holds it.
COMPONENTS = [
    "common/syst/public", "common/syst/testing", "common/syst", "common/protocol",
    "service/common", "service/api", "service/host", "service/etw", "service/redirect",
    "service/decode", "service/schema", "service/syst",
    "driver/testing", "driver",
    "platform/core", "platform/etw", "platform/win32", "platform/kernel", "platform/tessera",
    "platform/sim",
    "tools/client", "tools/cli", "tools/stpdump",
    "target", "tests", "bench", "fuzz",
]

PLATFORM_USER = ["platform/win32"]
PLATFORM_KERNEL = ["platform/kernel"]
STAND_INS = ["platform/core", "platform/etw", "platform/win32", "platform/kernel", "platform/tessera"]
# The remote API's numbers: every service component and the host tools that speak the API.
PROTOCOL = ["common/protocol"]
SERVICE = ["service/common", "service/api", "service/host", "service/etw", "service/redirect",
           "service/decode", "service/schema", "service/syst"]

# What the code of each component may include, besides itself. Product code sees the
# platform only through the Windows API of its side (user mode or kernel).
MAY_USE = {
    "platform/core": [],
    "platform/tessera": ["platform/core"],
    "platform/etw": ["platform/core"],
    "platform/win32": ["platform/etw", "platform/core"],
    "platform/kernel": ["platform/etw", "platform/tessera", "platform/core"],
    "platform/sim": STAND_INS,
    "common/syst/public": [],
    # The remote API's numbers, shared by the service and the host tools.
    "common/protocol": [],
    "common/syst/testing": ["common/syst", "common/syst/public"],
    # The shared encoder names its seam (syst_platform.h) and each image supplies it.
    "common/syst": ["common/syst/public"] + PLATFORM_USER + PLATFORM_KERNEL,
    "service/common": PROTOCOL + PLATFORM_USER,
    "service/api": ["service/common"] + PROTOCOL + PLATFORM_USER,
    "service/schema": ["service/common"] + PROTOCOL + PLATFORM_USER,
    "service/decode": ["service/schema", "service/common", "common/syst/public"] + PROTOCOL + PLATFORM_USER,
    "service/syst": ["common/syst", "common/syst/public", "service/common"] + PROTOCOL + PLATFORM_USER,
    "service/redirect": ["service/decode", "service/schema", "service/syst", "service/common", "common/syst",
                         "common/syst/public"] + PROTOCOL + PLATFORM_USER,
    "service/etw": ["service/redirect", "service/decode", "service/schema", "service/syst", "service/common",
                    "common/syst", "common/syst/public"] + PROTOCOL + PLATFORM_USER,
    "service/host": [c for c in SERVICE if c != "service/host"] + ["common/syst", "common/syst/public"]
    + PROTOCOL + PLATFORM_USER,
    # TXR is one image of two folders (core, power) that call each other.
    "driver": ["common/syst", "common/syst/public"] + PLATFORM_KERNEL,
    # The driver's test scaffolding: its fixture (kernel side) and a user-mode caller of its
    # interface (Win32 side), which the virtual target's actions use too.
    "driver/testing": ["driver", "common/syst", "common/syst/public"] + PLATFORM_KERNEL + PLATFORM_USER,
    "tools/client": ["common/syst/public"] + PROTOCOL,
    "tools/cli": ["tools/client", "common/syst/public"] + PROTOCOL,
    "tools/stpdump": ["common/syst/public"],
}

# The encoder's seam: common/syst includes it and each image's copy answers.
SEAM_HEADERS = {"syst_platform.h"}

# Test code (name_test.cpp, testing/ folders) may also use the virtual target's controls,
# every stand-in (a test sets up the machine), and stpdump's decoder, the independent reader
# of what a sink or the hardware model wrote.
TEST_EXTRA = ["platform/sim", "tools/stpdump", "common/syst/testing", "driver/testing"] + STAND_INS

# Libraries: the component each one is, for the link check.
LIBRARIES = {
    "platform_core": "platform/core", "tessera_model": "platform/tessera", "platform_etw": "platform/etw",
    "platform_win32": "platform/win32", "platform_kernel": "platform/kernel", "platform_sim": "platform/sim",
    "syst_public": "common/syst/public", "conduit_protocol": "common/protocol", "syst_encoder": "common/syst", "stp_writer": "common/syst",
    "conduit_common": "service/common", "conduit_api": "service/api", "conduit_host": "service/host",
    "conduit_etw": "service/etw", "conduit_redirect": "service/redirect", "conduit_decode": "service/decode",
    "conduit_schema": "service/schema", "conduit_syst": "service/syst",
    "txr": "driver", "txr_user_client": "driver/testing",
    "conduit_client": "tools/client", "conduit_cli_lib": "tools/cli", "stpdump_lib": "tools/stpdump",
}
LINK_ALIASES = {}

SOURCE_SUFFIXES = (".cpp", ".h", ".c")
INCLUDE = re.compile(r'^\s*#\s*include\s*[<"]([^>"]+)[>"]')


def component_of(relative):
    for component in COMPONENTS:
        if relative == component or relative.startswith(component + "/"):
            return component
    return None


def is_test_file(relative):
    name = os.path.basename(relative)
    return (name.endswith("_test.cpp") or "/testing/" in relative or relative.startswith(("tests/", "bench/", "fuzz/"))
            or component_of(relative) in ("common/syst/testing", "driver/testing"))


def walk_sources(root):
    for top in ("common", "service", "driver", "platform", "tools", "target", "tests", "bench", "fuzz"):
        for folder, dirs, files in os.walk(os.path.join(root, top)):
            dirs[:] = [d for d in dirs if d not in ("build",)]
            for name in files:
                if name.endswith(SOURCE_SUFFIXES):
                    yield os.path.relpath(os.path.join(folder, name), root)


def header_owners(sources):
    """Maps each include spelling that a header can be reached by (its name, and its path
    below every folder above it) to the components that hold such a header."""
    owners = {}
    for relative in sources:
        if not relative.endswith(".h"):
            continue
        component = component_of(relative)
        parts = relative.split("/")
        for i in range(len(parts)):
            owners.setdefault("/".join(parts[i:]), set()).add(component)
    return owners


def allowed_for(component, test):
    allowed = {component}
    allowed.update(MAY_USE.get(component, []))
    if test:
        allowed.update(TEST_EXTRA)
    return allowed


def check_includes(root):
    sources = list(walk_sources(root))
    owners = header_owners(sources)
    problems = []
    for relative in sources:
        component = component_of(relative)
        if component not in MAY_USE:
            continue  # target/, tests/, bench/, fuzz/ may use anything
        test = is_test_file(relative)
        allowed = allowed_for(component, test)
        here = os.path.dirname(relative)
        with open(os.path.join(root, relative), encoding="utf-8", errors="replace") as text:
            for number, line in enumerate(text, 1):
                match = INCLUDE.match(line)
                if not match:
                    continue
                spelled = match.group(1)
                if os.path.isfile(os.path.join(root, here, spelled)):
                    found = {component_of(os.path.normpath(os.path.join(here, spelled)))}
                else:
                    found = owners.get(spelled)
                if not found:
                    continue  # a system or third-party header
                if os.path.basename(spelled) in SEAM_HEADERS and component == "common/syst":
                    continue
                if found & allowed:
                    continue
                problems.append(f"{relative}:{number}: {component} includes {spelled} of "
                                f"{', '.join(sorted(found))}")
    return problems


def check_links(graph_file):
    problems = []
    with open(graph_file, encoding="utf-8") as graph:
        for line in graph:
            if ":" not in line:
                continue
            target, linked = line.split(":", 1)
            target = target.strip()
            component = LIBRARIES.get(target)
            if component is None:
                continue
            allowed = {component}
            allowed.update(MAY_USE.get(component, []))
            for alias in LINK_ALIASES.get(component, []):
                allowed.update(MAY_USE.get(alias, []))
            for dependency in (d.strip() for d in linked.split(",")):
                other = LIBRARIES.get(dependency)
                if other is not None and other not in allowed:
                    problems.append(f"link: {target} ({component}) links {dependency} ({other})")
    return problems


def main():
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    problems = check_includes(sys.argv[1])
    if len(sys.argv) > 2:
        problems += check_links(sys.argv[2])
    for problem in problems:
        print(problem)
    print(f"layering: {len(problems)} violation(s)")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
