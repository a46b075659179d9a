"""The demo run behind scripts/demo: one package, one throwaway Wine prefix."""

import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "e2e"))
import winelab  # noqa: E402

def main(work):
    reason = winelab.unavailable_reason()
    if reason:
        print(f"== Skipped: {reason}")
        return winelab.SKIPPED
    print("== Creating a throwaway Wine prefix (about 15 s)")
    winelab.setup()

    demo = os.path.join(work, "demo")
    os.makedirs(demo)
    package = winelab.pack(
        os.path.join(demo, "DemoSetup.exe"), winelab.standin_installer(),
        link="https://links.example.com/%1/start?",
        campaign="campaign=demo-2026",
        landing="https://welcome.example.com%1/thanks?",
        uninstall="https://welcome.example.com%1/goodbye?")
    print(f"== Package {package}: {os.path.getsize(package):,} bytes "
          f"(launcher {os.path.getsize(winelab.wrapper_exe()):,} bytes)")

    # The page opener: the URL recorder the packages ship, registered as the http(s)
    # handler; it appends the URL it is started with to the file its command names. The
    # desktop shell starts it, not the launcher.
    page_record = os.path.join(demo, "urls.txt")
    for scheme in ("http", "https"):
        winelab.wine_tool("reg", "add", rf"HKCR\{scheme}\shell\open\command", "/ve", "/d",
                          f'"{winelab.windows_path(winelab.url_recorder())}" '
                          f'"{winelab.windows_path(page_record)}" "%1"', "/f")

    record = os.path.join(demo, "record.txt")
    install_dir = r"C:\Program Files (x86)\Demo App"
    env = {
        "STANDIN_RECORD": winelab.windows_path(record),
        "STANDIN_REGISTER": "1",
        "STANDIN_INSTALL_DIR": install_dir,
        "STANDIN_LANGUAGE": r"lang\de.ini",
    }
    print("== Running the package under Wine")
    outcome = winelab.run_package(package, env=env, timeout=120)
    try:
        name = winelab.ResultCode(outcome.code).name
    except ValueError:
        name = "not a launcher result code"
    print(f"   result code {outcome.code}: {name} (docs/package-format.md says what it means)")

    # The page opener starts on its own; give it a moment to write its record.
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline and not os.path.exists(page_record):
        time.sleep(0.2)
    time.sleep(0.2)  # let it finish writing
    for start in winelab.read_record(record):
        print(f"   installer started as: {start.command_line}")
    for url in winelab.read_url_record(page_record):
        print(f"   page opened: {url}")

    temp = winelab.unix_path(r"C:\users\%s\Temp" % os.environ.get("USER", "root"))
    leftovers = winelab.leftover_temp_files(temp)
    print(f"   extracted installer left behind: {', '.join(leftovers) or 'none'}")

    app_path = winelab.reg_query(winelab.uninstall_key(), winelab.install_dir_value())
    print(f"   installer registered its folder: {app_path[1] if app_path else 'no'}")
    version_ini = winelab.unix_path(install_dir + r"\Version.ini")
    if os.path.exists(version_ini):
        print(f"== {install_dir}\\Version.ini")
        with open(version_ini, encoding="latin-1") as stream:
            for line in stream.read().splitlines():
                print(f"   {line}")
    else:
        print("   no Version.ini was written")
    return 0 if outcome.code == 0 else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
