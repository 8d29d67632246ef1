#!/usr/bin/env python3
"""Where the launcher finds the engine library under Windows: in the program folder
(its current directory by then), along the DLLPATH search path of the engine's
installation key, or nowhere (the start-failure message with $2108). Each run is the
launcher's reindex run, done by engine_probe.exe on a generated DATA tree whose
indexes are damaged; the indexes are checked with idxcheck afterwards."""
import datetime
import glob
import json
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import winharness as wh  # noqa: E402

KEY = "HKLM\\Software\\Borland\\Database Engine"
NOT_FOUND = ("Une erreur est survenue lors de l'initialisation du Borland Database Engine "
             "(erreur $2108)")
YEAR = datetime.date.today().year


def host_tool(s, name):
    return wh.host_tool(name)


def program_folder(s, name, with_engine):
    files = ("engine_probe.exe", "IDAPI32.DLL") if with_engine else ("engine_probe.exe",)
    folder = s.program_folder(name, files=files)
    subprocess.run([host_tool(s, "mkfixtures"), "tree", folder, "--years", "%d,%d" % (YEAR - 1, YEAR),
                    "--records", "40", "--seed", "3", "--index", "damaged"], check=True, timeout=120)
    return folder


def run_probe(s, folder):
    result = s.wine([os.path.join(folder, "engine_probe.exe")], timeout=300)
    out = result.stdout.decode("utf-8", "replace").strip()
    try:
        return json.loads(out.splitlines()[-1])
    except (ValueError, IndexError):
        raise AssertionError("engine_probe: %r %r" % (out, result.stderr[-400:]))


def tables(folder):
    return sorted(glob.glob(os.path.join(folder, "DATA", "**", "*.DBF"), recursive=True))


def indexes_check_out(s, folder):
    faulty = []
    for table in tables(folder):
        result = subprocess.run([host_tool(s, "idxcheck"), table], capture_output=True, timeout=120)
        if result.returncode != 0:
            faulty.append(os.path.relpath(table, folder))
    return faulty


def set_search_path(s, value):
    if value is None:
        s.wine(["reg", "delete", KEY, "/f"])
        return
    result = s.wine(["reg", "add", KEY, "/v", "DLLPATH", "/t", "REG_SZ", "/d", value, "/f"])
    assert result.returncode == 0, result.stderr[-400:]


def found_in_the_program_folder(s):
    set_search_path(s, None)
    folder = program_folder(s, "engine_local", with_engine=True)
    assert indexes_check_out(s, folder), "the fixture's indexes are not damaged"
    outcome = run_probe(s, folder)
    assert outcome == {"ok": True}, outcome
    faulty = indexes_check_out(s, folder)
    assert not faulty, "indexes still faulty: %s" % faulty


def engine_elsewhere(s, name):
    """A folder of its own holding only the engine library."""
    folder = os.path.join(s.artifacts, name)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    shutil.copy2(s.dist_file("IDAPI32.DLL"), folder)
    return folder


def found_along_the_registry_search_path(s):
    folder = program_folder(s, "engine_registry", with_engine=False)
    bde = engine_elsewhere(s, "engine_registry_bde")
    # A folder without the library comes first: it is passed over.
    set_search_path(s, "C:\\Absent;" + s.winpath(bde))
    try:
        outcome = run_probe(s, folder)
    finally:
        set_search_path(s, None)
    assert outcome == {"ok": True}, outcome
    faulty = indexes_check_out(s, folder)
    assert not faulty, "indexes still faulty: %s" % faulty


def search_path_of_259_characters(s):
    # The value is read into 260 bytes: 259 characters and the terminator are used,
    # one more and the value is ignored (Windows' search then finds nothing here).
    folder = program_folder(s, "engine_long_path", with_engine=False)
    bde = engine_elsewhere(s, "engine_long_path_bde")
    try:
        for length, expected in ((259, {"ok": True}), (260, {"ok": False, "code": 0x2108, "message": NOT_FOUND})):
            # Folders without the library first, the engine's folder last.
            tail = ";" + s.winpath(bde)
            value = "C:\\" + "a" * (length - 3 - len(tail)) + tail
            assert len(value) == length
            set_search_path(s, value)
            outcome = run_probe(s, folder)
            assert outcome == expected, (length, outcome)
    finally:
        set_search_path(s, None)


def found_nowhere(s):
    set_search_path(s, None)
    folder = program_folder(s, "engine_nowhere", with_engine=False)
    before = {t: open(t, "rb").read() for t in glob.glob(os.path.join(folder, "DATA", "**", "*.*"), recursive=True)}
    outcome = run_probe(s, folder)
    assert outcome == {"ok": False, "code": 0x2108, "message": NOT_FOUND}, outcome
    after = {t: open(t, "rb").read() for t in before}
    assert before == after, "files changed although no engine was found"


def failure_names_the_table(s):
    set_search_path(s, None)
    folder = program_folder(s, "engine_failure", with_engine=True)
    os.remove(os.path.join(folder, "DATA", "CLIENT.DBF"))
    outcome = run_probe(s, folder)
    assert outcome["ok"] is False and outcome["code"] == 0x2704, outcome
    lines = outcome["message"].split("\r\n")
    assert len(lines) >= 2 and lines[-1].endswith("\\DATA\\CLIENT.DBF"), outcome
    # Tables 1 and 2 were rebuilt, nothing after the third was touched.
    faulty = indexes_check_out(s, folder)
    assert os.path.join("DATA", "NEUF", "CATALOGUE.DBF") not in faulty, faulty
    assert os.path.join("DATA", "OCCASION", "CATALOGUE.DBF") not in faulty, faulty
    assert os.path.join("DATA", "POTENTIEL.DBF") in faulty, faulty


def table_held_by_another_program(s):
    set_search_path(s, None)
    folder = program_folder(s, "engine_held", with_engine=True)
    with wh.TableHolder(s, folder, "DATA\\CLIENT.DBF") as holder:
        outcome = run_probe(s, folder)
        assert outcome["ok"] is False and (outcome["code"] >> 8) == 0x28, outcome
        assert "CLIENT.DBF" in outcome["message"], outcome
        # The holder is not disturbed: it still reads its table, and lets go normally.
        assert holder.running(), "the holder ended"
        holder.release()
    faulty = indexes_check_out(s, folder)
    assert os.path.join("DATA", "CLIENT.DBF") in faulty, "the held table's index changed"
    assert os.path.join("DATA", "OCCASION", "CATALOGUE.DBF") not in faulty, faulty


def path_outside_the_ansi_code_page_is_not_found(s):
    # "Ł" has no place in the Western code page: the engine is asked for "?" instead.
    set_search_path(s, None)
    folder = program_folder(s, "engine_\u0141odz", with_engine=True)
    outcome = run_probe(s, folder)
    assert outcome["ok"] is False and outcome["code"] == 0x2704, outcome
    assert outcome["message"].endswith("\\engine_?odz\\DATA\\NEUF\\CATALOGUE.DBF"), outcome
    faulty = indexes_check_out(s, folder)
    assert len(faulty) == len(tables(folder)), "an index was rebuilt: %s" % faulty


def error_text_filling_the_whole_buffer(s):
    # An engine whose error-stack entry fills all 128 bytes of the buffer with text and
    # no terminator: the launcher takes the 128 characters and nothing after them.
    set_search_path(s, None)
    folder = program_folder(s, "engine_full_text", with_engine=False)
    shutil.copy2(s.dist_file("stub_idapi32.dll"), os.path.join(folder, "IDAPI32.DLL"))
    outcome = run_probe(s, folder)
    assert outcome == {"ok": False, "code": 0x2704, "message": "Le fichier n'existe pas\r\n" + "x" * 128}, outcome


def main():
    session = wh.Session.from_argv(required=("engine_probe.exe", "IDAPI32.DLL", "stub_idapi32.dll"))
    for tool in ("mkfixtures", "idxcheck"):
        if not os.path.exists(host_tool(session, tool)):
            print("skipped: host tool not built: " + tool)
            sys.exit(wh.SKIP)
    wh.run_scenarios(session, [found_in_the_program_folder, found_along_the_registry_search_path,
                               search_path_of_259_characters, found_nowhere,
                               failure_names_the_table, table_held_by_another_program,
                               path_outside_the_ansi_code_page_is_not_found, error_text_filling_the_whole_buffer])


if __name__ == "__main__":
    main()
