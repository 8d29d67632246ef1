#!/usr/bin/env python3
"""idxcheck.exe FOLDER under Windows (the 64-bit build, and the 32-bit one under
tools/wine32), on program folders made by the fixture
generator, each time beside the real launcher on the same folder: where idxcheck
says the launcher's run would stop, the launcher must stop there (its error box
names the table); where it says the run would succeed (exit 0) or repair a damaged
index (exit 1), the launcher must go through and start the main application, after
which idxcheck finds nothing left to repair."""
import datetime
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import winharness as wh  # noqa: E402
import scenario_startup_run as run  # noqa: E402

YEAR = datetime.date.today().year
TOOLS = ("orvane_start.exe", "IDAPI32.DLL", "Pelcrest.exe", "engine_probe.exe", "e2e_probe.exe", "idxcheck.exe")


def idxcheck(s, folder, *options):
    """Runs idxcheck.exe from outside the program folder, as a technician would."""
    result = s.wine([s.dist_file("idxcheck.exe")] + list(options) + [s.winpath(folder)], timeout=300)
    out = result.stdout.decode("utf-8")
    lines = [line.rstrip("\r") for line in out.split("\n") if line.strip()]
    return result.returncode, lines


def verdict(lines):
    assert lines and lines[-1].startswith("Verdict"), lines
    return lines[-1]


def line_of(lines, table):
    found = [line for line in lines if line[2:].split(" ", 1)[0] == table]
    assert len(found) == 1, (table, lines)
    return found[0]


def launcher(s, folder):
    """Runs the launcher on the folder: None when it went through (and started the
    main application), else the text of its error box."""
    program = s.start(os.path.join(folder, "orvane_start.exe"))
    while True:
        code = program.wait(0.5)
        if code is not None:
            assert code == 0, "exit code %r" % code
            run.assert_started_once_in(s, folder)
            return None
        boxes = s.message_boxes(winpid=program.winpid)
        if boxes:
            box = boxes[0]
            s.dismiss(box)
            s.post(box["owner"], wh.WM_CLOSE)
            assert program.wait(30) == 0
            assert not run.starts_of_main_application(folder), "the main application was started"
            return box["text"]


def fresh_folder(s, name, years=(YEAR - 1, YEAR), extra_files=()):
    return run.program_folder(s, name, years=years, index="fresh", records=60, extra_files=extra_files)


@wh.both_builds
def healthy_folder(s):
    folder = fresh_folder(s, "idx_healthy")
    code, lines = idxcheck(s, folder)
    assert code == 0, lines
    assert lines[0] == "Dossier du programme : %s\\" % s.winpath(folder), lines[0]
    assert lines[1] == "Années des factures examinées : %d à %d" % (YEAR - 4, YEAR + 1), lines[1]
    assert [line[2:].split(" ", 1)[0] for line in lines[2:-1]] == run.all_tables((YEAR - 1, YEAR)), lines
    assert verdict(lines) == "Verdict : le lancement irait jusqu'au bout ; aucun index à réparer.", lines
    assert launcher(s, folder) is None


@wh.both_builds
def one_damaged_index(s):
    folder = fresh_folder(s, "idx_damaged")
    table = run.unix(folder, "DATA\\VEHICULES.DBF")
    subprocess.run([run.host_tool(s, "mkfixtures"), "table", table, "--kind", "vehicules", "--records", "60",
                    "--seed", "4", "--index", "damaged"], check=True, timeout=300, stdout=subprocess.DEVNULL)
    code, lines = idxcheck(s, folder)
    assert code == 1, lines
    assert "index endommagé" in line_of(lines, "DATA\\VEHICULES.DBF"), lines
    assert "DATA\\VEHICULES.DBF" in verdict(lines) and "reconstruirait 1 index" in verdict(lines), lines
    code, lines = idxcheck(s, folder, "--en")
    assert code == 1 and verdict(lines).startswith("Verdict: the launcher's run would succeed and rebuild 1"), lines
    assert launcher(s, folder) is None
    code, lines = idxcheck(s, folder)
    assert code == 0, lines


@wh.both_builds
def missing_fixed_table(s):
    folder = fresh_folder(s, "idx_missing")
    os.remove(run.unix(folder, run.FIXED[3]))
    code, lines = idxcheck(s, folder)
    assert code == 2, lines
    assert verdict(lines) == "Verdict : le lancement s'arrêterait à DATA\\POTENTIEL.DBF : table absente.", lines
    # The tables after it are still looked at.
    assert line_of(lines, run.FIXED[4]).endswith(")") and "ok" in line_of(lines, run.FIXED[4]), lines
    text = launcher(s, folder)
    assert text and text.endswith("\\DATA\\POTENTIEL.DBF."), text


@wh.both_builds
def table_held_by_another_process(s):
    folder = fresh_folder(s, "idx_held", extra_files=("engine_probe.exe",))
    with wh.TableHolder(s, folder, run.FIXED[2]) as holder:
        code, lines = idxcheck(s, folder)
        assert code == 2, lines
        assert "ouverte par un autre programme" in line_of(lines, run.FIXED[2]), lines
        assert "DATA\\CLIENT.DBF" in verdict(lines), lines
        assert holder.running(), "idxcheck disturbed the holder"
        text = launcher(s, folder)
        assert text and "CLIENT.DBF" in text, text
        holder.release()
    # Let go: both now go through.
    code, lines = idxcheck(s, folder)
    assert code == 0, lines
    assert launcher(s, folder) is None


@wh.both_builds
def year_outside_the_window_is_not_read(s):
    folder = fresh_folder(s, "idx_years", years=(YEAR - 5, YEAR, YEAR + 2))
    # Outside the window: tables that could not even be read, and one missing.
    for year in (YEAR - 5, YEAR + 2):
        with open(run.unix(folder, "DATA\\factures\\%d\\Fact.DBF" % year), "wb") as f:
            f.write(b"not a table")
        os.remove(run.unix(folder, "DATA\\factures\\%d\\DetFact.DBF" % year))
    code, lines = idxcheck(s, folder)
    assert code == 0, lines
    assert [line[2:].split(" ", 1)[0] for line in lines[2:-1]] == run.all_tables((YEAR,)), lines
    assert launcher(s, folder) is None


@wh.both_builds
def repair_what_stops_the_launcher(s):
    """idxcheck.exe --repair mends an unreadable index (from a definitions file saved
    while the folder was sound) and a missing one (from the same table of another
    folder): the launcher stops before and goes through after; no table byte changes
    and the old index is kept byte for byte in the backup folder."""
    folder = fresh_folder(s, "idx_repair", extra_files=("engine_probe.exe",))
    definitions = os.path.join(os.path.dirname(folder), "idx_repair_defs.txt")
    result = s.wine([s.dist_file("idxcheck.exe"), "--save-definitions", s.winpath(folder), s.winpath(definitions)],
                    timeout=300)
    assert result.returncode == 0, result.stdout
    vehicules = run.unix(folder, "DATA\\VEHICULES.MDX")
    with open(vehicules, "rb") as f:
        old = f.read()
    with open(vehicules, "r+b") as f:
        f.truncate(300)
    old = old[:300]
    os.remove(run.unix(folder, "DATA\\factures\\%d\\Fact.MDX" % YEAR))

    def tables():
        out = {}
        for root, _, names in os.walk(os.path.join(folder, "DATA")):
            for name in names:
                if name.upper().endswith(".DBF"):
                    with open(os.path.join(root, name), "rb") as f:
                        out[os.path.join(root, name)] = f.read()
        return out

    before = tables()
    text = launcher(s, folder)
    assert text and "VEHICULES.DBF" in text, text
    code, lines = idxcheck(s, folder, "--repair", "--dry-run")
    assert code == 1 and "impossible à réparer" in line_of(lines, "DATA\\VEHICULES.DBF"), lines
    code, lines = idxcheck(s, folder, "--repair", "--definitions", s.winpath(definitions))
    assert code == 0, lines
    assert "réparé" in line_of(lines, "DATA\\VEHICULES.DBF") and "fichier de définitions" in line_of(
        lines, "DATA\\VEHICULES.DBF"), lines
    assert "DATA\\factures\\DEVIS\\Fact.DBF" in line_of(lines, "DATA\\factures\\%d\\Fact.DBF" % YEAR), lines
    kept = [n for n in os.listdir(os.path.join(folder, "idxcheck-sauvegardes"))]
    assert len(kept) == 1, kept
    with open(os.path.join(folder, "idxcheck-sauvegardes", kept[0], "DATA", "VEHICULES.MDX"), "rb") as f:
        assert f.read() == old, "the backup is not the old index"
    assert tables() == before, "a table changed"
    assert launcher(s, folder) is None
    code, lines = idxcheck(s, folder, "--repair")
    assert code == 0 and "Aucun fichier n'a été modifié." in lines, lines

    # A table another program holds is left alone; the holder is named, or the line
    # says that the system cannot tell (Wine's restart-management interface).
    with wh.TableHolder(s, folder, run.FIXED[2]) as holder:
        code, lines = idxcheck(s, folder, "--repair")
        line = line_of(lines, run.FIXED[2])
        assert code == 1 and line.startswith("* ") and "laissé tel quel" in line, lines
        assert "engine_probe.exe (processus" in line or "le système ne peut pas dire lequel" in line, line
        print("held: " + line.split("laissé tel quel : ", 1)[1])
        holder.release()


def main():
    session = wh.Session.from_argv(required=TOOLS)
    if not os.path.exists(run.host_tool(session, "mkfixtures")):
        print("skipped: host tool not built: mkfixtures")
        sys.exit(wh.SKIP)
    session.env["ORVANE_PELCREST_HEADLESS"] = "1"
    wh.run_scenarios(session, [healthy_folder, one_damaged_index, missing_fixed_table, table_held_by_another_process,
                               year_outside_the_window_is_not_read, repair_what_stops_the_launcher])


if __name__ == "__main__":
    main()
