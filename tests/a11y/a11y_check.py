"""Walks the main window over AT-SPI as a screen reader does.

    a11y_check.py main --config PATH   the quellis executable at start-up
    a11y_check.py sample               quellis-screenshot --hold --sample
    a11y_check.py language --config PATH   the language box, once, writes PATH

Run by run_a11y_check.sh, which provides the buses, the display and the
program. The main window's check ends in the pool dialog, whose suffix choices
must be radio buttons. Exits non-zero with one line per failed check.
"""

import argparse
import sys
import time

import pyatspi

CHINESE_HEADERS = ["序号", "IP地址", "子网掩码", "默认网关", "MAC地址", "设备运行时间", "温度", "版本", "主机名称"]
ENGLISH_HEADERS = ["Index", "IP Addr", "SubMask", "DefaultGW", "MAC Addr", "Run Time", "Temperature", "Version",
                   "HostName"]
# The buttons the default layout shows, by language.
CHINESE_BUTTONS = ["搜索设备", "选择升级包", "升级所选设备", "升级所有设备", "获取算力", "重启矿机程序", "重启系统",
                   "设置矿池", "闪烁矿机", "设置温度"]
ENGLISH_BUTTONS = ["Search", "Select Update Pack", "Update Selected Dev", "Update All Devs", "Get Hashrate",
                   "Restart Mining Process", "Restart System", "Set Mine Pool", "Flash Machine", "Set Temperature"]
DISABLED_BUTTONS = {"升级所选设备", "升级所有设备"}
# Roles that carry no caption of their own: containers and scroll parts.
UNNAMED_ROLES = {pyatspi.ROLE_FILLER, pyatspi.ROLE_SCROLL_BAR, pyatspi.ROLE_PANEL, pyatspi.ROLE_SCROLL_PANE,
                 pyatspi.ROLE_VIEWPORT, pyatspi.ROLE_TABLE_CELL, pyatspi.ROLE_TREE_ITEM, pyatspi.ROLE_LIST_ITEM,
                 pyatspi.ROLE_TABLE_COLUMN_HEADER, pyatspi.ROLE_UNKNOWN}

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
    return condition


def wait_until(probe, seconds=15.0):
    """The first true value probe() gives within the time, or None."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        value = probe()
        if value:
            return value
        time.sleep(0.2)
    return None


def find_application(name):
    def probe():
        desktop = pyatspi.Registry.getDesktop(0)
        for index in range(desktop.childCount):
            application = desktop.getChildAtIndex(index)
            if application is not None and application.name == name:
                return application
        return None
    return wait_until(probe, 30.0)


def descendants(node, depth=0):
    """Every accessible below node, depth first."""
    if depth > 20:
        return
    for index in range(node.childCount):
        child = node.getChildAtIndex(index)
        if child is None:
            continue
        yield child
        yield from descendants(child, depth + 1)


def showing(node):
    return node.getState().contains(pyatspi.STATE_SHOWING)


def main_window(application):
    for child in descendants(application):
        if child.getRole() in (pyatspi.ROLE_DIALOG, pyatspi.ROLE_FRAME) and child.name == "Quellis":
            return child
    return None


def by_role(window, role, name=None):
    return [node for node in descendants(window)
            if node.getRole() == role and showing(node) and (name is None or node.name == name)]


def one(window, role, name):
    found = by_role(window, role, name)
    check(len(found) == 1, f"expected one shown {role} named {name!r}, found {len(found)}")
    return found[0] if found else None


def device_list(window):
    for node in descendants(window):
        if node.name == "设备列表" and showing(node):
            return node
    return None


def headers(table_node):
    table = table_node.queryTable()
    names = []
    for column in range(table.nColumns):
        header = table.getColumnHeader(column)
        names.append(header.name if header is not None else table.getColumnDescription(column))
    return names


def button_names(window):
    return sorted(node.name for node in by_role(window, pyatspi.ROLE_PUSH_BUTTON))


def press(node):
    action = node.queryAction()
    check(action.nActions > 0, f"{node.name!r} offers no action")
    if action.nActions > 0:
        action.doAction(0)


def read_config(path):
    with open(path, "rb") as config:
        return config.read().decode("gbk", "replace")


def check_main(config_path):
    application = find_application("quellis")
    if not check(application is not None, "the quellis application is not on the accessibility bus"):
        return
    window = wait_until(lambda: main_window(application))
    if not check(window is not None, "no dialog named 'Quellis'"):
        return

    # Every shown control says what it is.
    for node in descendants(window):
        if showing(node) and node.getRole() not in UNNAMED_ROLES:
            check(node.name != "", f"a shown {node.getRoleName()} has no name")

    check(sorted(button_names(window)) == sorted(CHINESE_BUTTONS),
          f"shown buttons {button_names(window)} != {CHINESE_BUTTONS}")
    for name in CHINESE_BUTTONS:
        button = one(window, pyatspi.ROLE_PUSH_BUTTON, name)
        if button is not None:
            enabled = button.getState().contains(pyatspi.STATE_ENABLED)
            check(enabled == (name not in DISABLED_BUTTONS), f"button {name!r} enabled={enabled}")
    for label in ["低温", "高温"]:
        one(window, pyatspi.ROLE_LABEL, label)
    # Edits are named by the label before them; the picture by its caption.
    texts = {node.name: node for node in by_role(window, pyatspi.ROLE_TEXT)}
    for name, content in [("低温", "67"), ("高温", "72")]:
        if check(name in texts, f"no edit named {name!r} (shown edits: {sorted(texts)})"):
            text = texts[name].queryText()
            check(text.getText(0, -1) == content, f"edit {name!r} reads {text.getText(0, -1)!r}")
    check(len([node for node in descendants(window) if node.name == "忙碌动画" and showing(node)]) == 1,
          "the busy picture is not named")

    box = one(window, pyatspi.ROLE_CHECK_BOX, "Chinese")
    table_node = device_list(window)
    if not check(table_node is not None, "no list named '设备列表'"):
        return
    check(headers(table_node) == CHINESE_HEADERS, f"headers {headers(table_node)}")
    check(table_node.queryTable().nRows == 0, "the list has rows before any search")

    # The log pane: named, and its text is what was typed into it.
    log = texts.get("日志")
    if check(log is not None, "no log pane named '日志'"):
        editable = log.queryEditableText()
        editable.insertText(0, "a11y 检查", len("a11y 检查".encode("utf-8")))
        check(wait_until(lambda: log.queryText().getText(0, -1) == "a11y 检查", 5.0),
              f"log pane reads {log.queryText().getText(0, -1)!r}")

    # Pressing the language box through its action switches the language.
    if box is None:
        return
    check(box.getState().contains(pyatspi.STATE_CHECKED), "the language box starts unticked")
    press(box)
    check(wait_until(lambda: headers(table_node) == ENGLISH_HEADERS, 10.0),
          f"after unticking, headers {headers(table_node)}")
    check(wait_until(lambda: sorted(button_names(window)) == sorted(ENGLISH_BUTTONS), 10.0),
          f"after unticking, buttons {button_names(window)}")
    check(not box.getState().contains(pyatspi.STATE_CHECKED), "the box is still ticked")
    check(box.name == "Chinese", f"the box is named {box.name!r}")
    check("LANG=0" in read_config(config_path), "LANG=0 was not written")
    press(box)
    check(wait_until(lambda: headers(table_node) == CHINESE_HEADERS, 10.0),
          f"after ticking, headers {headers(table_node)}")
    check(wait_until(lambda: sorted(button_names(window)) == sorted(CHINESE_BUTTONS), 10.0),
          f"after ticking, buttons {button_names(window)}")
    check("LANG=1" in read_config(config_path), "LANG=1 was not written")
    check_pool_dialog(application, window)


def check_pool_dialog(application, window):
    """The pool dialog's suffix choices are radio buttons, a group per row."""
    button = one(window, pyatspi.ROLE_PUSH_BUTTON, "设置矿池")
    if button is None:
        return
    press(button)

    def opened():
        for node in descendants(application):
            if node.getRole() in (pyatspi.ROLE_DIALOG, pyatspi.ROLE_FRAME) and node.name == "矿工设置" \
                    and showing(node):
                return node
        return None
    dialog = wait_until(opened)
    if not check(dialog is not None, "the pool dialog did not open"):
        return
    radios = by_role(dialog, pyatspi.ROLE_RADIO_BUTTON)
    check(sorted(node.name for node in radios) == ["IP"] * 4 + ["无"] * 4,
          f"radio buttons {[node.name for node in radios]}")
    boxes = [node.name for node in by_role(dialog, pyatspi.ROLE_CHECK_BOX) if node.name in ("IP", "无")]
    check(not boxes, f"suffix choices announced as check boxes: {boxes}")
    ips = [node for node in radios if node.name == "IP"]
    nones = [node for node in radios if node.name == "无"]
    if len(ips) == 4 and len(nones) == 4:
        def checked(node):
            return node.getState().contains(pyatspi.STATE_CHECKED)
        press(nones[1])
        check(wait_until(lambda: checked(nones[1]) and not checked(ips[1]), 5.0),
              "choosing 无 did not leave IP in its row")
        check(all(checked(ips[row]) for row in (0, 2, 3)), "choosing in one row changed another")
    cancel = one(dialog, pyatspi.ROLE_PUSH_BUTTON, "取消")
    if cancel is not None:
        press(cancel)
        check(wait_until(lambda: opened() is None, 10.0), "the pool dialog did not close")


def check_language(config_path):
    """The installed program's first setting written: where config.ini goes."""
    application = find_application("quellis")
    if not check(application is not None, "the quellis application is not on the accessibility bus"):
        return
    window = wait_until(lambda: main_window(application))
    if not check(window is not None, "no dialog named 'Quellis'"):
        return
    box = one(window, pyatspi.ROLE_CHECK_BOX, "Chinese")
    if box is None:
        return
    press(box)
    check(wait_until(lambda: not box.getState().contains(pyatspi.STATE_CHECKED), 10.0), "the box is still ticked")
    try:
        written = read_config(config_path)
    except OSError as error:
        check(False, f"no {config_path}: {error}")
        return
    check("LANG=0" in written, f"LANG=0 was not written to {config_path}: {written!r}")


def check_sample():
    application = find_application("quellis-screenshot")
    if not check(application is not None, "the sample window is not on the accessibility bus"):
        return
    window = wait_until(lambda: main_window(application))
    if not check(window is not None, "no dialog named 'Quellis'"):
        return
    table_node = wait_until(lambda: device_list(window))
    if not check(table_node is not None, "no list named '设备列表'"):
        return
    table = table_node.queryTable()
    check(wait_until(lambda: table_node.queryTable().nRows == 6, 10.0), f"{table.nRows} rows, not 6")
    expected = {(0, 1): "10.77.128.11", (0, 4): "02A1B2C30B11", (5, 1): "10.77.128.23", (5, 8): "rack2-b03",
                (3, 7): "v1.2.14"}
    for (row, column), text in expected.items():
        cell = table_node.queryTable().getAccessibleAt(row, column)
        check(cell is not None and cell.name == text,
              f"cell {row},{column} reads {cell.name if cell is not None else None!r}, not {text!r}")
    log = [node for node in descendants(window) if node.name == "日志"]
    if check(len(log) == 1, "no log pane named '日志'"):
        text = log[0].queryText().getText(0, -1)
        check("1 Device 10.77.128.11 server version 1.2.15" in text, f"log pane reads {text!r}")
        check("写E2失败3" in text and "连接超时，请确认设备是否已掉电！" in text, "the later log lines are missing")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=["main", "sample", "language"])
    parser.add_argument("--config")
    arguments = parser.parse_args()
    if arguments.mode == "main":
        check_main(arguments.config)
    elif arguments.mode == "language":
        check_language(arguments.config)
    else:
        check_sample()
    for failure in failures:
        print(f"a11y_check {arguments.mode}: {failure}", file=sys.stderr)
    print(f"a11y_check {arguments.mode}: {'failed' if failures else 'passed'}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
