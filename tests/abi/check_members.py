#!/usr/bin/env python3
"""The members of ThreadPool::Options and ThreadPool::Stats in two ABI dumps.

    check_members.py BASELINE.abi CURRENT.abi

The suppressions let abidiff pass a member appended at the end of these two
structs, and with that abidiff 2.x also stops reporting changes that keep the
size and the offsets (two members swapped, a duration's unit, std::string
turned into std::wstring). So this script compares the members itself: every
member of the baseline must still be there, in the same place, with the same
name and the same type (followed through typedefs down to the named types),
and members may only be added after them. Exits 1, naming each difference.
"""
import sys
import xml.etree.ElementTree as ET

STRUCTS = ("Options", "Stats")


def load(path):
    root = ET.parse(path).getroot()
    by_id = {e.get("id"): e for e in root.iter() if e.get("id") is not None}
    structs = {}
    for pool in root.iter("class-decl"):
        if pool.get("name") != "ThreadPool":
            continue
        for member_type in pool.findall("member-type"):
            for decl in member_type.findall("class-decl"):
                name = decl.get("name")
                if name in STRUCTS and decl.findall("data-member"):
                    structs[name] = decl
    return by_id, structs


def describe(by_id, type_id, depth=0):
    """The type as text, through typedefs, qualifiers and pointers."""
    e = by_id.get(type_id)
    if e is None or depth > 20:
        return "?" + str(type_id)
    tag = e.tag
    if tag == "typedef-decl":
        return e.get("name") + "=" + describe(by_id, e.get("type-id"), depth + 1)
    if tag == "qualified-type-def":
        quals = [q for q in ("const", "volatile") if e.get(q) == "yes"]
        return " ".join(quals + [describe(by_id, e.get("type-id"), depth + 1)])
    if tag == "pointer-type-def":
        return describe(by_id, e.get("type-id"), depth + 1) + "*"
    if tag == "reference-type-def":
        return describe(by_id, e.get("type-id"), depth + 1) + "&"
    return "%s(%s bits)" % (e.get("name"), e.get("size-in-bits"))


def members(by_id, decl):
    out = []
    for dm in decl.findall("data-member"):
        var = dm.find("var-decl")
        out.append((int(dm.get("layout-offset-in-bits")), var.get("name"),
                    describe(by_id, var.get("type-id"))))
    return out


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    old_ids, old = load(sys.argv[1])
    new_ids, new = load(sys.argv[2])
    problems = []
    for name in STRUCTS:
        if name not in old:
            continue
        if name not in new:
            problems.append("ThreadPool::%s: not found" % name)
            continue
        before = members(old_ids, old[name])
        after = members(new_ids, new[name])
        old_size = int(old[name].get("size-in-bits"))
        for i, member in enumerate(before):
            if i >= len(after):
                problems.append("ThreadPool::%s: member %s removed" % (name, member[1]))
            elif after[i] != member:
                problems.append("ThreadPool::%s: member %d was %s at bit %d of type %s, is %s at bit %d "
                                "of type %s" % (name, i, member[1], member[0], member[2],
                                                after[i][1], after[i][0], after[i][2]))
        for member in after[len(before):]:
            if member[0] < old_size:
                problems.append("ThreadPool::%s: member %s added inside the old layout (bit %d)"
                                % (name, member[1], member[0]))
    for p in problems:
        print(p)
    if problems:
        return 1
    print("ThreadPool::Options and ThreadPool::Stats: the old members are unchanged")
    return 0


if __name__ == "__main__":
    sys.exit(main())
