#!/usr/bin/env python3
"""Checks the room map of src/ against what the sources do, and fails (exit 1) on any difference.

- Each room's files include only their own room and the rooms CMakeLists.txt names for it
  (NORVEL_ROOM_DEPS_<room>), and every room named there is included by at least one of them.
- docs/architecture.md says, for each room, "May include ..." exactly the rooms CMake names
  ("every room" for the top one, "Includes no other room" for the bottom one).
- Every file under src/ is named in docs/architecture.md or in the README's layout: by its stem
  in backticks (`session`), or by its whole name (`entry_counter.h`).

Usage: scripts/check_rooms.py [SOURCE_DIR]   (the project's root by default)
"""
import pathlib
import re
import sys


def cmake_rooms(cmake_text):
    rooms = re.search(r"set\(NORVEL_ROOMS ([^)]*)\)", cmake_text).group(1).split()
    deps = {}
    for room in rooms:
        found = re.search(r"set\(NORVEL_ROOM_DEPS_%s ([^)]*)\)" % room, cmake_text)
        deps[room] = set(found.group(1).replace('""', "").split()) if found else set()
    return rooms, deps


def included_rooms(path, rooms):
    used = set()
    for line in path.read_text(errors="replace").splitlines():
        match = re.match(r'\s*#\s*include\s+"([a-z_]+)/', line)
        if match and match.group(1) in rooms:
            used.add(match.group(1))
    return used


def documented_includes(doc_text, room, rooms):
    """The rooms docs/architecture.md lets `room` include, or None when it does not say."""
    paragraph = re.search(r"\*\*%s/\*\*(.*?)(?:\n\s*\n|\Z)" % room, doc_text, re.S)
    if not paragraph:
        return None
    text = " ".join(paragraph.group(1).split())
    if "Includes no other room" in text:
        return set()
    said = re.search(r"May include (.*)", text)
    if not said:
        return None
    sentence, depth = "", 0
    for ch in said.group(1):
        depth += ch == "("
        depth -= ch == ")"
        if depth == 0 and ch in ".;":
            break
        sentence += ch
    sentence = re.sub(r"\([^()]*\)", "", sentence)
    if sentence.strip().startswith("every room"):
        return set(rooms) - {room}
    return {word for word in re.split(r"[,\s]+|\band\b", sentence) if word in rooms}


def named_in_docs(path, docs_text):
    stem = path.name.split(".")[0]
    return ("`%s`" % stem) in docs_text or ("`%s`" % path.name) in docs_text or (
        "`%s." % stem) in docs_text


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".").resolve()
    rooms, deps = cmake_rooms((root / "CMakeLists.txt").read_text())
    doc = (root / "docs" / "architecture.md").read_text()
    readme = (root / "README.md").read_text()
    layout = readme[readme.find("## Layout"):]
    faults = []
    for room in rooms:
        files = sorted(p for p in (root / "src" / room).glob("*") if p.is_file())
        used = set()
        for path in files:
            for other in included_rooms(path, rooms) - {room}:
                used.add(other)
                if other not in deps[room]:
                    faults.append("%s includes room %s, which %s does not name"
                                  % (path.relative_to(root), other, room))
        for unused in sorted(deps[room] - used):
            faults.append("room %s names %s in CMakeLists.txt but includes nothing from it"
                          % (room, unused))
        said = documented_includes(doc, room, rooms)
        if said is None:
            faults.append("docs/architecture.md does not say what room %s may include" % room)
        elif said != deps[room]:
            faults.append("docs/architecture.md lets room %s include %s; CMakeLists.txt names %s"
                          % (room, sorted(said), sorted(deps[room])))
        for path in files:
            if not named_in_docs(path, doc + layout):
                faults.append("%s is named neither in docs/architecture.md nor in the README's "
                              "layout" % path.relative_to(root))
    for fault in faults:
        print("rooms: " + fault)
    if faults:
        return 1
    print("rooms: %d rooms, every include and every file as the map says" % len(rooms))
    return 0


if __name__ == "__main__":
    sys.exit(main())
