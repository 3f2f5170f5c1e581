#!/usr/bin/env bash
# The Wine test probe against a window of its own (status bar, list view,
# edit control) and a message box: the cross-process readers every Windows
# UI test relies on.
set -euo pipefail
ROOT=$1
source "$ROOT/scripts/wine_env.sh"
wine_init
export PYTHONPATH=$ROOT/tests/wine
timeout 180 xvfb-run -a -s "-screen 0 1024x768x24" /usr/bin/python3 - <<'PY'
import winetest as wt

w = wt.Wine()
r = wt.Results()
w.restart()
try:
    w.start(w.probe_exe, "demo", cwd=w.build)
    main = w.wait_window("ProbeDemo", None)
    r.check("demo window found", main)
    rc, children = w.probe("children", main)
    rows = [line.split("\t") for line in children.splitlines()]
    byclass = {row[1]: row for row in rows}
    r.check("children listed with class, id and text",
            byclass.get("Edit", [""] * 4)[2:4] == ["400", "edit me"], children)
    r.check("status bar part 1", w.probe("sbtext", main, 1) == (0, " Loop: 1/2"))
    r.check("status bar part edges", w.probe("sbparts", main) == (0, "65 140 -1"), w.probe("sbparts", main))
    lv = byclass.get("SysListView32", ["0"])[0]
    rc, items = w.probe("lvitems", lv)
    r.check("list view rows and columns",
            [[wt.unescape(c) for c in line.split("\t")] for line in items.splitlines()]
            == [["john", "<UserFolder\\>john"], ["mary", "@D:\\Mail\\mary"]], items)
    w.probe("setedit", main, 400, "changed")
    edit = byclass.get("Edit", ["0"])[0]
    r.check("edit text set and read back", w.text(edit) == "changed")
    r.check("title", w.probe("title", main) == (0, "Probe demo"))

    w.start(w.probe_exe, "msgbox", " Caption", "first\r\nsecond\tthird", cwd=w.build)
    box = w.wait_box(" Caption")
    r.check("message box read", box and box.text == "first\r\nsecond\tthird"
            and box.buttons == {1: "OK"}, box)
    w.screenshot("wine-probe")
    r.check("message box dismissed by its button", box and w.dismiss(box))
    r.check("taskbar broadcast", w.probe("broadcast-taskbarcreated")[0] == 0)
    w.probe("send", main, 0x10, 0, 0)  # WM_CLOSE
    r.check("window gone", w.probe("wait-gone", main, 10000)[0] == 0)
    r.check("a missing window is reported", w.probe("find", "NoSuchClass", "-", 100)[0] == 1)
finally:
    w.stop()
raise SystemExit(r.finish())
PY
